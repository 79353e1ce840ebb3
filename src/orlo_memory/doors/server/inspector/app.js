// The inspector: reads the HTTP API with the token typed in (kept for this tab only).
"use strict";

const $ = (id) => document.getElementById(id);
const state = { user: null, session: null, offset: 0 };
const PAGE = 100;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function say(message, isError) {
  $("status").textContent = message;
  $("status").className = isError ? "error" : "";
}

async function api(path, body) {
  const headers = { "Content-Type": "application/json" };
  const token = $("token").value.trim();
  if (token) headers["Authorization"] = "Bearer " + token;
  const response = await fetch("/v1" + path, {
    method: body === undefined ? "GET" : "POST",
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.detail || response.status + " " + response.statusText);
  return data;
}

const userPath = () => "/users/" + encodeURIComponent(state.user);
const when = (iso) => iso.replace("T", " ").slice(0, 16);

async function loadUsers() {
  sessionStorage.setItem("orlo-token", $("token").value.trim());
  const { users } = await api("/users");
  const select = $("user");
  const previous = select.value;
  select.replaceChildren(...users.map((name) => element("option", "", name)));
  if (users.includes(previous)) select.value = previous;
  if (!users.length) say("no users yet: add turns through the API first");
  else await chooseUser(select.value);
}

async function chooseUser(name) {
  state.user = name;
  state.session = null;
  const [stats, { sessions }] = await Promise.all([
    api(userPath() + "/stats"),
    api(userPath() + "/sessions"),
  ]);
  $("stats").textContent = `${stats.turns} turns, ${stats.sessions} sessions`;
  $("sessions").replaceChildren(...sessions.map((s) => {
    const item = element("li");
    item.dataset.id = s.id;
    item.append(element("div", "", s.title || "(untitled)"),
                element("div", "meta", `${when(s.created_at)} · ${s.turns} turns`));
    item.addEventListener("click", () => chooseSession(s, item).catch((e) => say(e.message, true)));
    return item;
  }));
  $("turns").replaceChildren();
  $("turns-title").textContent = "Turns";
  $("more").hidden = true;
  say(`user ${name}`);
}

async function chooseSession(session, item) {
  for (const other of $("sessions").children) other.classList.toggle("chosen", other === item);
  state.session = session.id;
  state.offset = 0;
  $("turns").replaceChildren();
  $("turns-title").textContent = session.title || "(untitled)";
  await moreTurns();
}

async function moreTurns() {
  const query = `?session=${state.session}&offset=${state.offset}&limit=${PAGE}`;
  const { turns } = await api(userPath() + "/turns" + query);
  for (const turn of turns) {
    const item = element("li", "turn");
    item.append(element("span", "role", turn.role), element("span", "", turn.text),
                element("div", "meta", `${when(turn.created_at)} · ${turn.id}`));
    $("turns").append(item);
  }
  state.offset += turns.length;
  $("more").hidden = turns.length < PAGE;
}

function showHits(column, hits) {
  const list = column.querySelector("ol");
  list.replaceChildren(...hits.map((hit, place) => {
    const item = element("li", "hit");
    const ranks = element("div", "ranks meta");
    ranks.append(
      element("span", "score", `#${place + 1}  ${hit.score.toFixed(4)}`),
      element("span", "", "cosine " + (hit.vector_score === null ? "–" : hit.vector_score.toFixed(3))),
      element("span", "", "vector #" + (hit.vector_rank ?? "–")),
      element("span", "", "lexical #" + (hit.lexical_rank ?? "–")),
    );
    item.append(ranks, element("div", "", hit.text),
                element("div", "meta", `${hit.role} · ${when(hit.created_at)}`));
    return item;
  }));
  if (!hits.length) list.append(element("li", "meta", "no matching turns"));
}

async function search(event) {
  event.preventDefault();
  if (!state.user) return say("load a user first", true);
  const body = { query: $("query").value, k: Number($("k").value) || 5 };
  if ($("in-session").checked && state.session) body.session = state.session;
  await Promise.all([...document.querySelectorAll(".mode")].map(async (column) => {
    column.querySelector("ol").replaceChildren(element("li", "meta", "searching…"));
    try {
      const { hits } = await api(userPath() + "/search", { ...body, mode: column.dataset.mode });
      showHits(column, hits);
    } catch (error) {
      column.querySelector("ol").replaceChildren(element("li", "error", error.message));
    }
  }));
}

const reportErrors = (work) => (...args) => work(...args).catch((e) => say(e.message, true));
$("connect").addEventListener("submit", reportErrors(async (event) => {
  event.preventDefault();
  await loadUsers();
}));
$("user").addEventListener("change", reportErrors(() => chooseUser($("user").value)));
$("more").addEventListener("click", reportErrors(moreTurns));
$("search").addEventListener("submit", reportErrors(search));
$("token").value = sessionStorage.getItem("orlo-token") || "";
reportErrors(loadUsers)();
