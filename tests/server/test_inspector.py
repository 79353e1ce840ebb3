"""The inspector page in a real headless Chromium (Debian's chromium and
chromium-driver, installed by .ci/chromium): a user's sessions, turns and a
search in each mode with each ranking's place; what made a hit's score, its
matched words and metadata, every text shown as text; forgetting a turn."""

import json
import os
import re
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
                "metadata": entry["metadata"],
            }
        )
    response = httpx.post(
        f"{base}/v1/users/maya/turns/batch",
        json={"turns": turns},
        headers={"Authorization": f"Bearer {credential}"},
        timeout=300,
    )
    assert response.status_code == 201, response.text


@pytest.fixture(scope="module")
def inspector(tmp_path_factory):
    """(the browser, the server's URL, an admin token) over 120 turns of the
    sample conversation."""
    needs_model()
    path = str(tmp_path_factory.mktemp("inspector") / "memory.db")
    admin = token(path, "--admin")
    driver = browser()
    try:
        with serve(path) as base:
            import_turns(base, admin, 120)
            yield driver, base, admin
    finally:
        driver.quit()


def open_page(driver, base, credential):
    """The page loaded afresh, then connected with `credential`."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(base + "/")
    driver.execute_script("sessionStorage.clear()")
    driver.refresh()
    wait = WebDriverWait(driver, 60)
    # Without the token the page says what is missing, and how to get one.
    wait.until(lambda d: "bearer token" in d.find_element(By.ID, "status").text)
    assert "orlo-memory token create" in driver.find_element(By.ID, "status").text
    assert driver.find_element(By.ID, "token-help").is_displayed()
    driver.find_element(By.ID, "token").send_keys(credential)
    driver.find_element(By.CSS_SELECTOR, "#connect button").click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#sessions li"))
    assert not driver.find_element(By.ID, "token-help").is_displayed()
    return wait


def hits_of(driver, mode):
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.CSS_SELECTOR, f'.mode[data-mode="{mode}"] li.hit')


def ask(driver, query):
    from selenium.webdriver.common.by import By

    driver.find_element(By.ID, "query").clear()
    driver.find_element(By.ID, "query").send_keys(query)
    driver.find_element(By.CSS_SELECTOR, "#search button").click()


def test_inspector_shows_sessions_turns_and_rankings(inspector, tmp_path):
    from selenium.webdriver.common.by import By

    driver, base, admin = inspector
    wait = open_page(driver, base, admin)
    sessions = driver.find_elements(By.CSS_SELECTOR, "#sessions li")
    titles = [item.text.splitlines()[0] for item in sessions]
    assert "Planning the Lisbon trip" in titles
    sessions[titles.index("Planning the Lisbon trip")].click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#turns .turn"))
    first_turn = driver.find_elements(By.CSS_SELECTOR, "#turns .turn")[0].text
    assert "Lisbon for Easter" in first_turn
    ask(driver, "which days are we flying out and back?")
    wait.until(lambda d: all(len(hits_of(d, m)) == 5 for m in ("vector", "lexical", "hybrid")))
    vector_top = hits_of(driver, "vector")[0].text
    lexical_top = hits_of(driver, "lexical")[0].text
    assert "vector #1" in vector_top and "cosine 0." in vector_top
    assert "lexical #1" in lexical_top
    hybrid = [hit.text for hit in hits_of(driver, "hybrid")]
    assert all("vector #" in hit and "lexical #" in hit for hit in hybrid)
    assert any("2 April" in hit for hit in hybrid)
    driver.save_screenshot(
        os.environ.get("ORLO_MEMORY_INSPECTOR_SCREENSHOT", str(tmp_path / "inspector.png"))
    )


def test_inspector_explains_hits_shows_text_as_text_and_forgets_with_a_confirm(inspector):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions

    driver, base, admin = inspector
    auth = {"Authorization": f"Bearer {admin}"}
    marked_up = 'The padlock code for the <b>shed</b> is 4711 <img src=x onerror="alert(1)">'
    added = httpx.post(
        f"{base}/v1/users/maya/turns",
        json={"text": marked_up, "metadata": {"source": "<i>a note</i>"}},
        headers=auth,
        timeout=60,
    )
    turn = added.json()["id"]
    wait = open_page(driver, base, admin)
    ask(driver, "What is the padlock code of the sheds?")
    wait.until(lambda d: all(hits_of(d, m) for m in ("vector", "lexical", "hybrid")))
    # Hybrid hits say what made their score; the single rankings have no parts.
    for hit in hits_of(driver, "hybrid"):
        parts = [part.text for part in hit.find_elements(By.CSS_SELECTOR, ".reasons span")]
        assert [part.split()[0] for part in parts] == ["vector", "words", "neighbour"], parts
        assert all(re.fullmatch(r"\w+ [+\u2212]\d+\.\d\d", part) for part in parts), parts
    assert not driver.find_elements(By.CSS_SELECTOR, '.mode[data-mode="vector"] .reasons')
    [shown] = [hit for hit in hits_of(driver, "lexical") if hit.get_attribute("data-turn") == turn]
    # Markup in a text or in metadata is shown as written, never run or rendered.
    assert shown.find_element(By.CSS_SELECTOR, ".text").text == marked_up
    assert not shown.find_elements(By.CSS_SELECTOR, "img, b, i")
    assert 'metadata {"source":"<i>a note</i>"}' in shown.text
    marks = [mark.text for mark in shown.find_elements(By.CSS_SELECTOR, "mark")]
    assert marks == ["padlock", "code", "shed"]
    # Forgetting asks first: declined, the turn stays; confirmed, it is gone.
    shown.find_element(By.CSS_SELECTOR, "button.forget").click()
    wait.until(expected_conditions.alert_is_present())
    assert marked_up in driver.switch_to.alert.text
    driver.switch_to.alert.dismiss()
    assert httpx.get(f"{base}/v1/users/maya/turns/{turn}", headers=auth).status_code == 200
    shown.find_element(By.CSS_SELECTOR, "button.forget").click()
    wait.until(expected_conditions.alert_is_present())
    driver.switch_to.alert.accept()
    wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, f'[data-turn="{turn}"]'))
    assert "forgot" in driver.find_element(By.ID, "status").text
    assert httpx.get(f"{base}/v1/users/maya/turns/{turn}", headers=auth).status_code == 404
