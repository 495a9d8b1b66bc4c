// The browser station: the main window's boxes, Print Labels, Preview, History and cut
// sheets, on the print service's API. Every value shown for a cut comes from the service,
// which reads the sheet as it prints it; nothing is composed here.
import { ApiError, call, newKey, picture } from "/web/api.js";

const $ = (id) => document.getElementById(id);

// The window's titles for its own refusals.
const kTitles = [
  ["You must select a file or manually enter the data.", "Invalide Data"],
  ["The selected style does not exist in the database.", "Style Not Found"],
];
const kFieldBoxes = { wip: "wip", style: "style", quantity: "qty", printer: "printer" };
const kCutBoxes = ["wip", "style", "color", "waist", "length", "length-desc", "text1", "text2", "text3", "made-in"];
const kRecoveryShownMs = 10000;

const state = { session: null, sheet: null, at: -1, cut: null, jobs: [], selected: -1, scope: "station", events: null };

// ---- messages where the operator looks

function clearMessage() {
  $("message").hidden = true;
  $("message-title").textContent = "";
  $("message-text").textContent = "";
}

function showMessage(text, field) {
  const title = (kTitles.find(([said]) => text.startsWith(said)) || [null, "Tarnwick"])[1];
  $("message-title").textContent = title;
  $("message-text").textContent = text;
  $("message").hidden = false;
  const box = kFieldBoxes[field];
  if (box && !$(box).disabled) $(box).focus();
}

// Every failure reaches the operator: a session that ended goes back to sign-in, saying why.
function failed(error) {
  if (error instanceof ApiError && error.status === 401) {
    showLogin(error.message);
    return;
  }
  showMessage(error.message || String(error), error.field);
}

// ---- sign-in

function showLogin(reason) {
  state.session = null;
  if (state.events) state.events.close();
  state.events = null;
  $("station").hidden = true;
  $("who").hidden = true;
  $("login").hidden = false;
  $("login-message").textContent = reason || "";
  $("login-token").value = "";
  $("login-token").focus();
}

async function showStation(session) {
  state.session = session;
  $("signed-in-as").textContent = session.name;
  $("login").hidden = true;
  $("who").hidden = false;
  $("station").hidden = false;
  listenForNotices();
  await Promise.all([loadPrinters(), loadFabrics()]).catch(failed);
  $("wip").focus();
  document.body.dataset.ready = "true";
}

async function signIn(event) {
  event.preventDefault();
  $("login-submit").disabled = true;
  try {
    const session = await call("POST", "session", { token: $("login-token").value.trim() });
    await showStation(session);
  } catch (error) {
    $("login-message").textContent = error.message;
    $("login-token").select();
  } finally {
    $("login-submit").disabled = false;
  }
}

async function signOut() {
  try {
    await call("DELETE", "session");
    showLogin("Signed out.");
  } catch (error) {
    failed(error);
  }
}

// ---- lists

async function loadPrinters() {
  const answer = await call("GET", "printers");
  const select = $("printer");
  select.replaceChildren();
  for (const printer of answer.printers) {
    const option = new Option(printer.name + (printer.ready ? "" : " (" + printer.state + ")"), printer.name);
    select.add(option);
  }
}

async function loadFabrics() {
  const answer = await call("GET", "fabrics");
  answer.lines.forEach((items, i) => {
    const list = $("text" + (i + 1) + "-list");
    list.replaceChildren(...items.map((item) => new Option(item)));
  });
}

// ---- live notices

function showNotice(notice) {
  const shown = $("notices");
  let line = Array.from(shown.children).find((p) => p.dataset.source === notice.source);
  if (!line) {
    line = document.createElement("p");
    line.className = "notice";
    line.dataset.source = notice.source;
    shown.append(line);
  }
  line.textContent = notice.text;
  line.classList.toggle("clears", notice.clears);
  clearTimeout(line.expiry);
  if (notice.clears) line.expiry = setTimeout(() => line.remove(), kRecoveryShownMs);
}

function listenForNotices() {
  if (state.events) state.events.close();
  state.events = new EventSource("/api/v1/events");
  state.events.addEventListener("notice", (event) => showNotice(JSON.parse(event.data)));
}

// ---- the label's boxes

function labelBody() {
  return {
    wip: $("wip").value,
    style: $("style").value,
    color: $("color").value,
    waist: $("waist").value,
    length: $("length").value,
    lengthDesc: $("length-desc").value,
    text1: $("text1").value,
    text2: $("text2").value,
    text3: $("text3").value,
    madeIn: $("made-in").value,
    rn: $("rn").value,
    quantity: $("qty").value,
    printer: $("printer").value,
    newFormat: $("new-format").checked,
    brand: $("brand").checked,
    headers: $("headers").checked,
  };
}

function cutBody() {
  return {
    cuts: [state.cut.row],
    quantity: $("qty").value,
    printer: $("printer").value,
    newFormat: $("new-format").checked,
    brand: $("brand").checked,
    headers: $("headers").checked,
  };
}

// A loaded cut's boxes take no typing; in New Format a Length Desc or Made In the cut leaves
// blank may be typed, since that is what prints.
function lockCutBoxes() {
  const cut = state.cut;
  const blank = (text) => !text || !text.trim();
  for (const id of kCutBoxes) {
    let locked = cut !== null;
    if (cut && id === "length-desc") locked = !$("new-format").checked || !blank(cut.lengthDesc);
    if (cut && id === "made-in") locked = !blank(cut.madeIn);
    $(id).readOnly = locked;
  }
  $("cut-loaded").hidden = cut === null;
}

function fillCut(cut) {
  const values = {
    wip: cut.wip, style: cut.style, color: cut.color, waist: cut.waist, length: cut.length,
    "length-desc": cut.lengthDesc, text1: cut.text1, text2: cut.text2, text3: cut.text3, qty: cut.quantity, stock: cut.stock,
  };
  for (const [id, value] of Object.entries(values)) $(id).value = value;
  if (cut.madeIn) $("made-in").value = cut.madeIn;
}

// ---- Print Labels and Preview

let printing = false;

async function printLabels(event) {
  event.preventDefault();
  if (printing) return;
  printing = true;
  $("print").disabled = true;
  clearMessage();
  $("result").textContent = "";
  const key = { "Idempotency-Key": newKey() };
  try {
    let job;
    if (state.cut) {
      const answer = await call("POST", "cut-sheets/" + state.sheet.id + "/labels", cutBody(), key);
      job = answer.labels[0].job;
    } else {
      job = (await call("POST", "labels", labelBody(), key)).job;
    }
    $("result").textContent = job
      ? "Printed job " + job.id + ": layout " + job.layout + " on printer " + $("printer").value + ", quantity " + job.quantity + "."
      : "Printed, but the print journal could not record it.";
    if (!$("history-panel").hidden) loadHistory();
  } catch (error) {
    failed(error);
  } finally {
    printing = false;
    $("print").disabled = false;
  }
}

async function showPreview() {
  clearMessage();
  try {
    const drawn = state.cut
      ? await picture("POST", "cut-sheets/" + state.sheet.id + "/previews", cutBody())
      : await picture("POST", "previews", labelBody());
    showPicture(drawn);
  } catch (error) {
    failed(error);
  }
}

function showPicture(drawn) {
  const image = $("preview-image");
  if (image.src) URL.revokeObjectURL(image.src);
  image.src = drawn.url;
  const [width, height] = drawn.dots.split("x");
  $("preview-info").textContent = "Layout " + drawn.layout + ", " + width + " x " + height + " dots, quantity " + drawn.quantity;
  $("preview-panel").hidden = false;
}

// ---- cut sheets

async function uploadSheet() {
  const file = $("sheet-file").files[0];
  clearMessage();
  if (!file) {
    showMessage("Choose a cut sheet first (csv, xlsx, ods or xls).");
    $("sheet-file").focus();
    return;
  }
  $("sheet-upload").disabled = true;
  try {
    const bytes = await file.arrayBuffer();
    const answer = await call("POST", "cut-sheets?name=" + encodeURIComponent(file.name), new Blob([bytes], { type: "application/octet-stream" }));
    state.sheet = answer;
    $("sheet-name").textContent = answer.name + ": " + answer.cuts.length + (answer.cuts.length === 1 ? " cut" : " cuts");
    if (answer.notice) showMessage(answer.notice);
    const select = $("cut-select");
    const options = document.createDocumentFragment();
    for (const cut of answer.cuts) options.append(new Option(cut.text, String(cut.row)));
    select.replaceChildren(options);
    for (const id of ["cut-select", "move-to-cut", "move-back", "move-next"]) $(id).disabled = answer.cuts.length === 0;
    if (answer.cuts.length > 0) await loadCut(0);
  } catch (error) {
    failed(error);
  } finally {
    $("sheet-upload").disabled = false;
  }
}

async function loadCut(at) {
  if (!state.sheet || at < 0 || at >= state.sheet.cuts.length) return;
  clearMessage();
  try {
    const cut = await call("GET", "cut-sheets/" + state.sheet.id + "/cuts/" + state.sheet.cuts[at].row);
    state.at = at;
    state.cut = cut;
    $("cut-select").value = String(cut.row);
    fillCut(cut);
    lockCutBoxes();
  } catch (error) {
    failed(error);
  }
}

function clearSheet() {
  state.sheet = null;
  state.cut = null;
  state.at = -1;
  $("sheet-file").value = "";
  $("sheet-name").textContent = "";
  $("cut-select").replaceChildren();
  for (const id of ["cut-select", "move-to-cut", "move-back", "move-next"]) $(id).disabled = true;
  lockCutBoxes();
  $("wip").focus();
}

// ---- History and Reprint

async function loadHistory() {
  const filter = $("history-filter").value.trim();
  try {
    let answers;
    if (filter) {
      const q = encodeURIComponent(filter);
      answers = await Promise.all([call("GET", "jobs?limit=100&prefix=true&wip=" + q), call("GET", "jobs?limit=100&prefix=true&style=" + q)]);
    } else {
      answers = [await call("GET", "jobs?limit=100")];
    }
    const seen = new Map();
    for (const answer of answers) for (const job of answer.jobs) seen.set(job.station + ":" + job.id, job);
    state.jobs = Array.from(seen.values()).sort((a, b) => (a.time < b.time ? 1 : a.time > b.time ? -1 : b.id - a.id)).slice(0, 100);
    state.scope = answers[0].scope;
    $("history-notice").textContent = answers[0].notice || "";
    showJobs();
    $("history-table").dataset.filter = filter;
  } catch (error) {
    failed(error);
  }
}

function showJobs() {
  // The job selected stays selected when the list is read again.
  const before = state.selectedKey;
  const rows = document.createDocumentFragment();
  state.jobs.forEach((job, i) => {
    const row = document.createElement("tr");
    row.dataset.job = String(job.id);
    row.dataset.station = job.station;
    row.tabIndex = i === 0 ? 0 : -1;
    const cells = [new Date(job.time).toLocaleString(), job.station, job.layout, job.wip, job.style, job.quantity, job.printer, job.shownOutcome, job.message];
    cells.forEach((text, c) => {
      const cell = document.createElement("td");
      cell.textContent = text;
      if (c === cells.length - 1) cell.className = "message-cell";
      row.append(cell);
    });
    row.addEventListener("click", () => selectJob(i));
    rows.append(row);
  });
  $("history-table").tBodies[0].replaceChildren(rows);
  state.selected = -1;
  $("reprint").disabled = true;
  const again = state.jobs.findIndex((job) => job.station + ":" + job.id === before);
  if (again >= 0) selectJob(again, false);
}

function selectJob(i, focus = true) {
  const rows = $("history-table").tBodies[0].rows;
  if (i < 0 || i >= rows.length) return;
  for (const row of rows) {
    row.classList.remove("selected");
    row.tabIndex = -1;
  }
  rows[i].classList.add("selected");
  rows[i].tabIndex = 0;
  if (focus) rows[i].focus();
  state.selected = i;
  state.selectedKey = state.jobs[i].station + ":" + state.jobs[i].id;
  $("reprint").disabled = false;
}

async function reprint() {
  const job = state.jobs[state.selected];
  if (!job) return;
  clearMessage();
  const quantity = $("reprint-qty").value.trim();
  const station = state.scope === "plant" ? "?station=" + encodeURIComponent(job.station) : "";
  try {
    const answer = await call("POST", "jobs/" + job.id + "/reprint" + station, quantity ? { quantity } : {}, { "Idempotency-Key": newKey() });
    $("result").textContent = "Reprinted job " + job.id + " as job " + answer.job.id + ", quantity " + answer.quantity + ".";
    loadHistory();
  } catch (error) {
    failed(error);
  }
}

function toggleHistory() {
  const panel = $("history-panel");
  panel.hidden = !panel.hidden;
  if (!panel.hidden) {
    loadHistory();
    $("history-filter").focus();
  }
}

// ---- wiring

let filterTimer = 0;

function wire() {
  $("login-form").addEventListener("submit", signIn);
  $("sign-out").addEventListener("click", signOut);
  $("label-form").addEventListener("submit", printLabels);
  $("preview").addEventListener("click", showPreview);
  $("history-open").addEventListener("click", toggleHistory);
  $("sheet-upload").addEventListener("click", uploadSheet);
  $("sheet-clear").addEventListener("click", clearSheet);
  $("move-back").addEventListener("click", () => loadCut(state.at - 1));
  $("move-next").addEventListener("click", () => loadCut(state.at + 1));
  $("move-to-cut").addEventListener("click", () => {
    const row = Number($("cut-select").value);
    loadCut(state.sheet ? state.sheet.cuts.findIndex((cut) => cut.row === row) : -1);
  });
  $("new-format").addEventListener("change", lockCutBoxes);
  // Checking the brand box puts its RN number in the RN box, as the window does.
  $("brand").addEventListener("change", () => {
    $("rn").value = $("brand").checked ? "112806" : "30417";
  });
  $("history-filter").addEventListener("input", () => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(loadHistory, 150);
  });
  $("history-table").addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown") selectJob(state.selected + 1);
    else if (event.key === "ArrowUp") selectJob(Math.max(0, state.selected - 1));
    else if (event.key === "Enter" && state.selected >= 0) reprint();
    else return;
    event.preventDefault();
  });
  $("reprint").addEventListener("click", reprint);
}

async function start() {
  wire();
  try {
    await showStation(await call("GET", "session"));
  } catch (error) {
    showLogin(error instanceof ApiError && error.code === "session_expired" ? error.message : "");
    document.body.dataset.ready = "true";
  }
}

start();
