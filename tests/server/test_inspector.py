"""The inspector page in a real headless Chromium (Debian's chromium and
chromium-driver, installed by .ci/chromium): a user's sessions, turns and a
search in each mode with each ranking's place."""

import json
import os
import shutil

import httpx
import pytest
from server_helpers import ROOT, needs_model, serve, token

CONVERSATION = ROOT / "examples" / "data" / "conversation.jsonl"


def browser():
    """A headless Chromium under WebDriver; skipped without one, unless
    ORLO_MEMORY_REQUIRE_BROWSER=1 makes that a failure."""
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        reason = "needs Debian's chromium and chromium-driver: run `bash .ci/chromium`"
        if os.environ.get("ORLO_MEMORY_REQUIRE_BROWSER") == "1":
            pytest.fail(f"{reason} (ORLO_MEMORY_REQUIRE_BROWSER=1)")
        pytest.skip(reason)
    os.environ["SE_OFFLINE"] = "true"  # never let Selenium fetch a browser of its own
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,950"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(executable_path=driver), options=options)


def import_turns(base: str, credential: str, count: int) -> None:
    lines = CONVERSATION.read_text(encoding="utf-8").splitlines()[:count]
    turns, previous = [], None
    for line in lines:
        entry = json.loads(line)
        opens = entry["session"] != previous
        previous = entry["session"]
        turns.append(
            {
                "text": entry["text"],
                "role": entry["role"],
                "created_at": entry["created_at"],
                "new_session": opens,
                "session_title": entry["session_title"] if opens else None,
            }
        )
    response = httpx.post(
        f"{base}/v1/users/maya/turns/batch",
        json={"turns": turns},
        headers={"Authorization": f"Bearer {credential}"},
        timeout=300,
    )
    assert response.status_code == 201, response.text


def test_inspector_shows_sessions_turns_and_rankings(tmp_path):
    needs_model()
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    path = str(tmp_path / "memory.db")
    admin = token(path, "--admin")
    driver = browser()
    try:
        with serve(path) as base:
            import_turns(base, admin, 120)
            wait = WebDriverWait(driver, 60)
            driver.get(base + "/")
            # Without the token the page says what is missing.
            wait.until(lambda d: "bearer token" in d.find_element(By.ID, "status").text)
            driver.find_element(By.ID, "token").send_keys(admin)
            driver.find_element(By.CSS_SELECTOR, "#connect button").click()
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#sessions li"))
            sessions = driver.find_elements(By.CSS_SELECTOR, "#sessions li")
            titles = [item.text.splitlines()[0] for item in sessions]
            assert "Planning the Lisbon trip" in titles
            sessions[titles.index("Planning the Lisbon trip")].click()
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#turns .turn"))
            first_turn = driver.find_elements(By.CSS_SELECTOR, "#turns .turn")[0].text
            assert "Lisbon for Easter" in first_turn
            driver.find_element(By.ID, "query").send_keys("which days are we flying out and back?")
            driver.find_element(By.CSS_SELECTOR, "#search button").click()

            def column(mode):
                return driver.find_elements(By.CSS_SELECTOR, f'.mode[data-mode="{mode}"] li.hit')

            wait.until(lambda d: all(len(column(m)) == 5 for m in ("vector", "lexical", "hybrid")))
            vector_top = column("vector")[0].text
            lexical_top = column("lexical")[0].text
            assert "vector #1" in vector_top and "cosine 0." in vector_top
            assert "lexical #1" in lexical_top
            hybrid = [hit.text for hit in column("hybrid")]
            assert all("vector #" in hit and "lexical #" in hit for hit in hybrid)
            assert any("2 April" in hit for hit in hybrid)
            driver.save_screenshot(
                os.environ.get("ORLO_MEMORY_INSPECTOR_SCREENSHOT", str(tmp_path / "inspector.png"))
            )
    finally:
        driver.quit()
