// The inspector: reads the HTTP API with the token typed in (kept for this tab only).
// Every text from the memory goes into the page as text nodes, never as markup.
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

async function api(path, body, method) {
  const headers = { "Content-Type": "application/json" };
  const token = $("token").value.trim();
  if (token) headers["Authorization"] = "Bearer " + token;
  const response = await fetch("/v1" + path, {
    method: method || (body === undefined ? "GET" : "POST"),
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await response.json().catch(() => ({}));
  $("token-help").hidden = response.status !== 401;
  if (!response.ok) throw new Error(data.detail || response.status + " " + response.statusText);
  return data;
}

const userPath = () => "/users/" + encodeURIComponent(state.user);
const when = (iso) => iso.replace("T", " ").slice(0, 16);

// -- the words a query shares with a hit ------------------------------------------
// An approximation of the lexical ranking's matching, to show which words met:
// diacritics folded, case ignored, common words left out, and the usual English
// endings stripped on both sides ("flights" meets "flight", "padlocked" "padlock").

const WORD = /[\p{L}\p{N}]+/gu;
const STOP_WORDS = new Set(("a about an and are as at be been but by can could did do does " +
  "for from had has have he her his how i if in into is it its me my no not of on or our out " +
  "she so than that the their them then there these they this those to up us was we were " +
  "what when where which who whom why will with would you your").split(" "));

const fold = (word) => word.normalize("NFD").replace(/\p{M}/gu, "").toLowerCase();

function stem(word) {
  if (word.length > 4 && word.endsWith("ies")) return word.slice(0, -3) + "y";
  if (word.length > 5 && word.endsWith("sses")) return word.slice(0, -2);
  for (const ending of ["ing", "ed"]) {
    if (word.length > ending.length + 2 && word.endsWith(ending)) {
      const root = word.slice(0, -ending.length);
      const last = root.at(-1);
      return last === root.at(-2) && !"lsz".includes(last) ? root.slice(0, -1) : root;
    }
  }
  if (word.length > 3 && word.endsWith("s") && !word.endsWith("ss")) return word.slice(0, -1);
  return word;
}

function queryStems(query) {
  const words = (query.match(WORD) || []).map(fold).filter((word) => !STOP_WORDS.has(word));
  return new Set(words.map(stem));
}

// The text as nodes, the words that meet the query's in <mark>s.
function marked(text, stems) {
  const nodes = [];
  let last = 0;
  for (const match of text.matchAll(WORD)) {
    if (!stems.has(stem(fold(match[0])))) continue;
    nodes.push(document.createTextNode(text.slice(last, match.index)),
               element("mark", "", match[0]));
    last = match.index + match[0].length;
  }
  nodes.push(document.createTextNode(text.slice(last)));
  return nodes;
}

// -- users, sessions, turns ------------------------------------------------------

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

async function showStats() {
  const stats = await api(userPath() + "/stats");
  $("stats").textContent = `${stats.turns} turns, ${stats.sessions} sessions`;
}

async function chooseUser(name) {
  state.user = name;
  state.session = null;
  const [, { sessions }] = await Promise.all([showStats(), api(userPath() + "/sessions")]);
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

function metadataLine(metadata) {
  if (!metadata || !Object.keys(metadata).length) return [];
  return [element("div", "metadata meta", "metadata " + JSON.stringify(metadata))];
}

async function moreTurns() {
  const query = `?session=${state.session}&offset=${state.offset}&limit=${PAGE}`;
  const { turns } = await api(userPath() + "/turns" + query);
  for (const turn of turns) {
    const item = element("li", "turn");
    item.dataset.turn = turn.id;
    item.append(forgetButton(turn), element("span", "role", turn.role),
                element("span", "", turn.text),
                element("div", "meta", `${when(turn.created_at)} · ${turn.id}`),
                ...metadataLine(turn.metadata));
    $("turns").append(item);
  }
  state.offset += turns.length;
  $("more").hidden = turns.length < PAGE;
}

// -- forgetting ------------------------------------------------------------------

function forgetButton(turn) {
  const button = element("button", "forget", "forget");
  button.type = "button";
  button.title = "delete this turn from the memory for good";
  button.addEventListener("click", reportErrors(() => forget(turn)));
  return button;
}

async function forget(turn) {
  const shown = turn.text.length > 200 ? turn.text.slice(0, 200) + "…" : turn.text;
  const question = "Forget this turn for good? Its text, metadata and embedding are deleted.";
  if (!window.confirm(`${question}\n\n${shown}`)) return;
  await api(`${userPath()}/turns/${encodeURIComponent(turn.id)}`, undefined, "DELETE");
  for (const item of document.querySelectorAll("[data-turn]")) {
    if (item.dataset.turn !== turn.id) continue;
    if (item.parentElement === $("turns")) state.offset -= 1;  // the next page starts earlier
    item.remove();
  }
  await showStats();
  say(`forgot turn ${turn.id}`);
}

// -- search ----------------------------------------------------------------------

const signed = (value) => (value < 0 ? "−" : "+") + Math.abs(value).toFixed(2);

function part(label, value, explanation) {
  const span = element("span", value < 0 ? "taken" : "added", `${label} ${signed(value)}`);
  span.title = explanation;
  return span;
}

// What made a hybrid hit's score: each ranking's share and the neighbour's lift.
function reasons(hit) {
  if (hit.vector_part === null || hit.vector_part === undefined) return [];
  const line = element("div", "reasons meta");
  line.append(
    part("vector", hit.vector_part, "the vector ranking's weighted share (below its mean: negative)"),
    part("words", hit.lexical_part, "the lexical ranking's weighted share (no match: its lowest)"),
    part("neighbour", hit.neighbour_lift, "the lift from the best neighbouring turn in its session"),
  );
  return [line];
}

function showHits(column, hits, stems) {
  const list = column.querySelector("ol");
  list.replaceChildren(...hits.map((hit, place) => {
    const item = element("li", "hit");
    item.dataset.turn = hit.id;
    const ranks = element("div", "ranks meta");
    ranks.append(
      element("span", "score", `#${place + 1}  ${hit.score.toFixed(4)}`),
      element("span", "", "cosine " + (hit.vector_score === null ? "–" : hit.vector_score.toFixed(3))),
      element("span", "", "vector #" + (hit.vector_rank ?? "–")),
      element("span", "", "lexical #" + (hit.lexical_rank ?? "–")),
    );
    const text = element("div", "text");
    text.append(...marked(hit.text, stems));
    item.append(forgetButton(hit), ranks, ...reasons(hit), text,
                element("div", "meta", `${hit.role} · ${when(hit.created_at)}`),
                ...metadataLine(hit.metadata));
    return item;
  }));
  if (!hits.length) list.append(element("li", "meta", "no matching turns"));
}

async function search(event) {
  event.preventDefault();
  if (!state.user) return say("load a user first", true);
  const body = { query: $("query").value, k: Number($("k").value) || 5 };
  if ($("in-session").checked && state.session) body.session = state.session;
  const stems = queryStems(body.query);
  await Promise.all([...document.querySelectorAll(".mode")].map(async (column) => {
    column.querySelector("ol").replaceChildren(element("li", "meta", "searching…"));
    try {
      const { hits } = await api(userPath() + "/search", { ...body, mode: column.dataset.mode });
      showHits(column, hits, stems);
    } catch (error) {
      column.querySelector("ol").replaceChildren(element("li", "error", error.message));
    }
  }));
}

function reportErrors(work) {
  return (...args) => work(...args).catch((e) => say(e.message, true));
}

$("connect").addEventListener("submit", reportErrors(async (event) => {
  event.preventDefault();
  await loadUsers();
}));
$("user").addEventListener("change", reportErrors(() => chooseUser($("user").value)));
$("more").addEventListener("click", reportErrors(moreTurns));
$("search").addEventListener("submit", reportErrors(search));
$("token").value = sessionStorage.getItem("orlo-token") || "";
reportErrors(loadUsers)();
