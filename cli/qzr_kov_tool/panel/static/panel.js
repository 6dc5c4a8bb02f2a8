// The panel's page: a card per axis fed by the events stream, the commands
// as POSTs to the API, jogs held while their button is, STOP ALL (Escape).
"use strict";

(function () {
  var STALE = 1.0;          // seconds after which a value is shown as stale
  var LOST = 2.5;           // seconds without a state event: the connection is lost
  var RENEW = 150;          // ms between two renewals of a held jog
  var HISTORY = 60;         // seconds the plot shows
  var EVENTS = 50;          // events kept in the list
  var COLOURS = ["#2563eb", "#dc2626", "#059669", "#d97706", "#7c3aed", "#db2777",
                 "#0891b2", "#65a30d", "#4b5563", "#9333ea", "#ea580c", "#0d9488"];

  var machine = null;       // GET /api/machine
  var cards = {};           // axis name -> its card's elements
  var history = {};         // axis name -> [[time, mm], ...]
  var stream = null;        // the events stream's id
  var lastState = 0;        // performance.now() at the last state event
  var source = null;
  var held = null;          // the jog held: {name, direction, hold, timer, button}

  function $(root, field) { return root.querySelector('[data-field="' + field + '"]'); }
  function now() { return performance.now() / 1000; }

  function request(method, path, body) {
    var options = {method: method, credentials: "same-origin", headers: {}};
    if (body !== undefined) {
      options.headers["Content-Type"] = "application/json";
      options.body = JSON.stringify(body);
    }
    return fetch(path, options).then(function (response) {
      return response.json().catch(function () { return {}; }).then(function (data) {
        if (!response.ok) {
          var error = new Error(data.error || response.status + " " + response.statusText);
          error.status = response.status;
          throw error;
        }
        return data;
      });
    });
  }

  function post(path, body, card) {
    return request("POST", path, body || {}).then(function (data) {
      if (card) say(card, "");
      return data;
    }, function (error) {
      if (card) say(card, error.message); else addEvent({text: error.message, ok: false});
      throw error;
    });
  }

  function say(card, text) { $(card.root, "message").textContent = text; }
  function axisPath(name, action) { return "/api/axes/" + encodeURIComponent(name) + "/" + action; }
  function ignore() {}

  // -- STOP ALL: first, before anything else

  function stopAll() {
    release(false);
    post("/api/stop", {}).catch(ignore);
  }

  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape" || event.key === "Esc") {
      event.preventDefault();
      stopAll();
    }
  });

  // -- hold-to-run jogs

  function press(card, direction, button, event) {
    if (event) event.preventDefault();
    release(true);
    var jog = {name: card.name, direction: direction, button: button,
               hold: Math.random().toString(36).slice(2) + Date.now().toString(36)};
    held = jog;
    button.classList.add("held");
    var renew = function () {
      if (held !== jog) return;
      var body = {direction: direction, velocity: Number(card.slider.value), hold: jog.hold};
      if (stream) body.stream = stream;
      post(axisPath(card.name, "jog"), body, card).catch(function () {
        if (held === jog) release(false);
      });
    };
    renew();
    jog.timer = setInterval(renew, RENEW);
  }

  function release(sendStop) {
    var jog = held;
    if (!jog) return;
    held = null;
    clearInterval(jog.timer);
    jog.button.classList.remove("held");
    if (sendStop) post(axisPath(jog.name, "stop"), {}).catch(ignore);
  }

  function releaseAndStop() { release(true); }
  window.addEventListener("blur", releaseAndStop);
  document.addEventListener("visibilitychange", function () {
    if (document.visibilityState !== "visible") release(true);
  });

  // -- the cards

  function fixed(value, digits) { return value === null || value === undefined ? "–" : value.toFixed(digits); }

  function build(name, index) {
    var axis = machine.axes[name];
    var root = document.importNode($(document, "card").content, true).firstElementChild;
    root.setAttribute("data-axis", name);
    var card = {name: name, root: root, axis: axis, colour: COLOURS[index % COLOURS.length]};
    $(root, "name").textContent = name;
    $(root, "where").textContent = "line " + axis.line + ", station " + axis.station;
    if (axis.travel) {
      $(root, "travel-low").textContent = axis.travel[0] + " mm";
      $(root, "travel-high").textContent = axis.travel[1] + " mm";
    }
    card.slider = $(root, "jog-velocity");
    card.slider.min = axis.jog.min;
    card.slider.max = axis.jog.max;
    card.slider.step = "any";
    card.slider.value = axis.jog.velocity;
    var speed = function () { $(root, "jog-velocity-text").textContent = Number(card.slider.value).toFixed(1); };
    card.slider.addEventListener("input", speed);
    speed();
    showPositions(card);

    $(root, "move-form").addEventListener("submit", function (event) {
      event.preventDefault();
      var given = $(root, "target").value.trim();
      var target = given;
      if (given !== "" && !isNaN(Number(given))) {
        target = Number(given);
        if (axis.travel && (target < axis.travel[0] || target > axis.travel[1])) {
          say(card, target + " mm is outside the travel " + axis.travel[0] + " to " + axis.travel[1] + " mm");
          return;
        }
      } else if (given === "") {
        say(card, "give a target in mm or the name of a position");
        return;
      }
      post(axisPath(name, "move"), {target: target}, card).catch(ignore);
    });
    root.querySelector('[data-action="stop"]').addEventListener("click", function () {
      release(false);
      post(axisPath(name, "stop"), {}, card).catch(ignore);
    });
    root.querySelector('[data-action="home"]').addEventListener("click", function () {
      post("/api/home", {axes: [name]}, card).catch(ignore);
    });
    [["jog-minus", "-"], ["jog-plus", "+"]].forEach(function (pair) {
      var button = root.querySelector('[data-action="' + pair[0] + '"]');
      button.addEventListener("pointerdown", function (event) { press(card, pair[1], button, event); });
      ["pointerup", "pointerleave", "pointercancel", "lostpointercapture"].forEach(function (kind) {
        button.addEventListener(kind, function () { if (held && held.button === button) release(true); });
      });
      button.addEventListener("contextmenu", function (event) { event.preventDefault(); });
    });
    $(root, "teach-form").addEventListener("submit", function (event) {
      event.preventDefault();
      var field = $(root, "teach-name");
      var position = field.value.trim();
      if (!position) { say(card, "give the position a name"); return; }
      post(axisPath(name, "positions"), {name: position}, card).then(function (data) {
        axis.positions[data.name] = data.position;
        axis.taught.push(data.name);
        field.value = "";
        showPositions(card);
      }, ignore);
    });
    if (machine.read_only) {
      root.querySelectorAll("button:not([data-action=stop]), input").forEach(function (element) {
        element.disabled = true;
      });
    }
    return card;
  }

  function showPositions(card) {
    var box = $(card.root, "positions");
    box.textContent = "";
    Object.keys(card.axis.positions).forEach(function (position) {
      var button = document.createElement("button");
      button.type = "button";
      button.setAttribute("data-action", "goto");
      button.setAttribute("data-position", position);
      if (card.axis.taught.indexOf(position) >= 0) button.className = "taught";
      button.textContent = position + " " + card.axis.positions[position];
      button.disabled = !!machine.read_only;
      button.addEventListener("click", function () {
        post(axisPath(card.name, "move"), {target: position}, card).catch(ignore);
      });
      box.appendChild(button);
    });
  }

  function lamp(element, on) {
    element.classList.toggle("on", !!on);
    element.setAttribute("data-on", on ? "true" : "false");
  }

  function show(card, state) {
    var root = card.root;
    card.state = state;
    card.seen = now() - (state.age || 0);
    $(root, "position").textContent = fixed(state.position, 3);
    $(root, "velocity").textContent = fixed(state.velocity, 1);
    var homed = $(root, "homed");
    homed.textContent = state.homed ? "homed" : "not homed";
    lamp(homed, state.homed);
    var running = $(root, "running");
    running.textContent = state.running ? "running" : "at rest";
    lamp(running, state.running);
    ["origin", "negative_limit", "positive_limit", "alarm", "emergency"].forEach(function (input) {
      lamp($(root, input), state[input]);
    });
    var travel = card.axis.travel;
    var mark = $(root, "bar-mark");
    if (travel) {
      var share = (state.position - travel[0]) / (travel[1] - travel[0]);
      mark.style.left = "calc(" + (Math.max(0, Math.min(1, share)) * 100).toFixed(2) + "% - 2px)";
    } else {
      mark.hidden = true;
    }
  }

  // -- freshness

  setInterval(function () {
    var t = now();
    Object.keys(cards).forEach(function (name) {
      var card = cards[name];
      var stale = card.seen === undefined || t - card.seen > STALE;
      card.root.classList.toggle("stale", stale);
      card.root.setAttribute("data-stale", stale ? "true" : "false");
    });
    if (source && lastState && t - lastState > LOST) connection(false, "no news for " + (t - lastState).toFixed(0) + " s");
    draw();
  }, 250);

  function connection(ok, why) {
    document.body.classList.toggle("lost", !ok);
    document.body.setAttribute("data-connection", ok ? "live" : "lost");
    $(document, "connection").textContent = ok ? "live" : "connection lost" + (why ? ": " + why : "");
    if (!ok) release(false);
  }

  // -- the events stream

  function listen() {
    source = new EventSource("/api/events");
    source.addEventListener("hello", function (event) {
      stream = JSON.parse(event.data).stream;
    });
    source.addEventListener("state", function (event) {
      var data = JSON.parse(event.data);
      lastState = now();
      connection(true);
      Object.keys(data.axes).forEach(function (name) {
        var card = cards[name];
        if (!card) return;
        var state = data.axes[name];
        show(card, state);
        var points = history[name];
        points.push([card.seen, state.position]);
        while (points.length && points[0][0] < card.seen - HISTORY) points.shift();
      });
    });
    ["move", "home", "stop", "taught", "error"].forEach(function (kind) {
      source.addEventListener(kind, function (event) { addEvent(JSON.parse(event.data), kind); });
    });
    source.onerror = function () {
      stream = null;
      connection(false, "the events stream broke off (retrying)");
    };
  }

  function addEvent(data, kind) {
    var list = $(document, "events");
    var item = document.createElement("li");
    item.setAttribute("data-event", kind || "error");
    if (data.ok === false || kind === "error" || (data.failed && Object.keys(data.failed).length)) item.className = "bad";
    var text = data.text;
    if (!text && kind === "stop") text = "stop: " + data.axes.join(", ") + " (" + data.why + ")";
    item.textContent = (data.time ? data.time + " " : "") + (text || kind);
    list.insertBefore(item, list.firstChild);
    while (list.children.length > EVENTS) list.removeChild(list.lastChild);
  }

  // -- the plot: every axis's position over the last 60 s

  function draw() {
    var canvas = $(document, "plot");
    if (!canvas || !machine) return;
    var context = canvas.getContext("2d");
    var width = canvas.width, height = canvas.height, left = 50, bottom = 20;
    context.clearRect(0, 0, width, height);
    var low = Infinity, high = -Infinity;
    machine.order.forEach(function (name) {
      var travel = machine.axes[name].travel;
      if (travel) { low = Math.min(low, travel[0]); high = Math.max(high, travel[1]); }
      history[name].forEach(function (point) { low = Math.min(low, point[1]); high = Math.max(high, point[1]); });
    });
    if (!isFinite(low)) { low = -1; high = 1; }
    if (high - low < 1e-9) { low -= 1; high += 1; }
    var t = now();
    var x = function (seconds) { return left + (width - left - 4) * (1 - (t - seconds) / HISTORY); };
    var y = function (mm) { return 4 + (height - bottom - 8) * (1 - (mm - low) / (high - low)); };
    context.strokeStyle = "#d1d5db";
    context.fillStyle = "#4b5563";
    context.font = "11px sans-serif";
    context.lineWidth = 1;
    context.beginPath();
    for (var s = 0; s <= HISTORY; s += 10) {
      context.moveTo(x(t - s), 4);
      context.lineTo(x(t - s), height - bottom + 4);
      context.fillText("-" + s + " s", x(t - s) - 14, height - 4);
    }
    [low, (low + high) / 2, high].forEach(function (mm) {
      context.moveTo(left, y(mm));
      context.lineTo(width - 4, y(mm));
      context.fillText(mm.toFixed(1), 2, y(mm) + 4);
    });
    context.stroke();
    context.lineWidth = 2;
    machine.order.forEach(function (name) {
      var points = history[name];
      context.strokeStyle = cards[name].colour;
      context.beginPath();
      points.forEach(function (point, i) {
        if (i === 0) context.moveTo(x(point[0]), y(point[1])); else context.lineTo(x(point[0]), y(point[1]));
      });
      context.stroke();
    });
  }

  // -- start

  function start() {
    document.querySelector('[data-action="stop-all"]').addEventListener("click", stopAll);
    document.querySelector('[data-action="home-all"]').addEventListener("click", function () {
      post("/api/home", {}).catch(ignore);
    });
    request("GET", "/api/machine").then(function (data) {
      machine = data;
      var file = $(document, "file");
      file.textContent = (data.file || "").split("/").pop() + (data.simulated ? " (simulated)" : "") +
        (data.read_only ? " (read-only)" : "");
      file.title = data.file || "";
      if (data.read_only) document.querySelector('[data-action="home-all"]').disabled = true;
      var box = $(document, "axes");
      var legend = $(document, "legend");
      data.order.forEach(function (name, index) {
        var card = build(name, index);
        cards[name] = card;
        history[name] = [];
        box.appendChild(card.root);
        var key = document.createElement("i");
        key.textContent = "— " + name;
        key.style.color = card.colour;
        legend.appendChild(key);
      });
      document.body.setAttribute("data-ready", "true");
      listen();
    }, function (error) {
      var notice = $(document, "notice");
      notice.hidden = false;
      notice.textContent = error.status === 401
        ? "This page needs the panel's token: open the address that qzr-kov panel printed."
        : "The machine could not be read: " + error.message;
      connection(false, error.message);
    });
  }

  start();
})();
