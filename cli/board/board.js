// The station board: a header with the image and the yield, and one tile per
// slot, all fed by the flasher's own /events stream (a snapshot first, then
// every --json event). Read-only: it only ever GETs.
//
// Everything that comes from the station is shown as text (textContent,
// createElement), never parsed as markup: slot paths and image names are
// whatever someone named a file, "<img src=x onerror=...>" included.
'use strict';

(function () {
    const STATUS_DELAY_MS = 100;   // gathers a burst of events into one /status fetch
    const REOPEN_MS = 2000;        // after the browser gave up on the stream for good
    const TICK_MS = 1000;

    // Each state has its colour (the tone) and its word and sign in text, so
    // that nobody needs to tell the colours apart.
    const STATES = {
        waiting: {sign: '○', word: 'waiting', tone: 'idle'},
        preamble: {sign: '◔', word: 'preamble', tone: 'busy'},
        booting: {sign: '◑', word: 'booting', tone: 'busy'},
        flashing: {sign: '▶', word: 'flashing', tone: 'busy'},
        success: {sign: '✔', word: 'success', tone: 'good'},
        failed: {sign: '✖', word: 'failed', tone: 'bad'},
        timeout: {sign: '✖', word: 'timeout', tone: 'bad'},
        'port-error': {sign: '✖', word: 'port error', tone: 'bad'},
        cancelled: {sign: '■', word: 'cancelled', tone: 'warn'},
        misconfigured: {sign: '⚠', word: 'misconfigured', tone: 'config'},
    };
    const UNKNOWN_STATE = {sign: '?', word: '', tone: 'idle'};

    let clockOffset = 0;      // the station's clock minus ours, in ms
    let started = null;       // when the station started, by its clock
    let source = null;
    const tiles = new Map();  // port -> tile
    let statusTimer = null;
    let statusBusy = false;
    let statusAgain = false;

    const byId = (id) => document.getElementById(id);
    const stationNow = () => Date.now() + clockOffset;

    function make(tag, cls, parent) {
        const node = document.createElement(tag);
        if (cls)
            node.className = cls;
        if (parent)
            parent.appendChild(node);
        return node;
    }

    // Assigning only what differs keeps the DOM still between changes.
    function setText(node, text) {
        text = String(text);
        if (node.textContent !== text)
            node.textContent = text;
    }

    function isNumber(x) {
        return typeof x === 'number' && Number.isFinite(x);
    }

    function lastComponent(path) {
        const whole = String(path);
        const trimmed = whole.replace(/\/+$/, '');
        return trimmed.slice(trimmed.lastIndexOf('/') + 1) || whole;
    }

    function formatBytes(n) {
        if (!isNumber(n) || n < 0)
            return '';
        if (n < 1024)
            return Math.round(n) + ' B';
        if (n < 1024 * 1024) {
            const k = n / 1024;
            return (k < 10 ? k.toFixed(1) : k.toFixed(0)) + ' KiB';
        }
        const m = n / (1024 * 1024);
        return (m < 10 ? m.toFixed(2) : m.toFixed(1)) + ' MiB';
    }

    function formatRate(n) {
        if (!isNumber(n) || n <= 0)
            return '';
        const k = n / 1024;
        return (k < 100 ? k.toFixed(1) : k.toFixed(0)) + ' KiB/s';
    }

    // 0:42, 12:03, 1:02:03, 3 d 1:02:03
    function formatDuration(ms) {
        let s = Math.max(0, Math.floor(ms / 1000));
        const d = Math.floor(s / 86400);
        s -= d * 86400;
        const h = Math.floor(s / 3600);
        s -= h * 3600;
        const m = Math.floor(s / 60);
        s -= m * 60;
        const two = (x) => (x < 10 ? '0' : '') + x;
        const clock = h > 0 || d > 0 ? h + ':' + two(m) + ':' + two(s) : m + ':' + two(s);
        return d > 0 ? d + ' d ' + clock : clock;
    }

    function formatShare(x) {
        return isNumber(x) ? (x * 100).toFixed(1) + ' %' : '–';
    }

    // ---- header ----

    function showHeader(snapshot) {
        const image = snapshot.image || {};
        const name = typeof image.name === 'string' && image.name !== ''
            ? image.name : (typeof image.file === 'string' ? lastComponent(image.file) : '–');
        setText(byId('image-name'), name);
        byId('image-name').title = typeof image.file === 'string' ? image.file : '';
        setText(byId('image-size'), isNumber(image.size) ? formatBytes(image.size) : '');
        byId('image-size').title = isNumber(image.size) ? image.size + ' bytes' : '';
        setText(byId('image-sha'), typeof image.sha256 === 'string' ? 'sha256 ' + image.sha256.slice(0, 12) : '');
        document.title = 'QIVO station · ' + name;

        const summary = snapshot.summary || {};
        const units = isNumber(summary.units) ? summary.units : null;
        setText(byId('units'), units === null ? '–' : units);
        setText(byId('first-pass-yield'), units ? formatShare(summary.first_pass_yield) : '–');
        setText(byId('final-yield'), units ? formatShare(summary.final_yield) : '–');
        setText(byId('units-per-hour'), isNumber(summary.units_per_hour) ? summary.units_per_hour.toFixed(1) : '–');

        const version = typeof snapshot.version === 'string' ? 'qivo-dfu-cli ' + snapshot.version : '';
        const mode = snapshot.mode === 'once' ? 'one run' : snapshot.mode === 'station' ? 'station' : '';
        setText(byId('version'), [version, mode].filter(Boolean).join(' · '));
    }

    function tickUptime() {
        setText(byId('uptime'), started === null ? '–' : formatDuration(stationNow() - started));
    }

    function setLink(state) {
        const link = byId('link');
        const words = {connecting: 'connecting…', live: 'live', reconnecting: 'reconnecting…'};
        link.dataset.link = state;
        setText(link, words[state]);
        document.body.classList.toggle('stale', state !== 'live');
    }

    // A banner says what the tiles cannot: the record failed, or the station
    // stopped. It belongs to one run of the station and goes with it.
    let bannerStarted = null;

    function showBanner(text) {
        const banner = byId('banner');
        setText(banner, text);
        banner.hidden = false;
        bannerStarted = started;
    }

    function clearBannerIfNewRun() {
        if (bannerStarted !== started) {
            byId('banner').hidden = true;
            bannerStarted = null;
        }
    }

    // ---- tiles ----

    function makeTile(port) {
        const root = make('section', 'tile');
        root.dataset.port = port;
        const tile = {root, data: {port, state: 'waiting'}, touched: -Infinity};
        tile.name = make('h2', 'tile-name', root);
        tile.path = make('div', 'tile-path', root);
        const line = make('div', 'tile-line', root);
        tile.sign = make('span', 'tile-sign', line);
        tile.sign.setAttribute('aria-hidden', 'true');
        // The state's word (and the percentage) large, what follows smaller;
        // together they read as one phrase: "failed: why".
        tile.state = make('span', 'tile-state', line);
        tile.stateHead = make('span', 'tile-state-head', tile.state);
        tile.stateMore = make('span', 'tile-state-more', tile.state);
        tile.bar = make('div', 'tile-bar', root);
        tile.fill = make('div', 'tile-fill', tile.bar);
        const foot = make('div', 'tile-foot', root);
        // "unit X · attempt N", the attempt never split.
        tile.unit = make('span', 'tile-unit', foot);
        tile.unitName = make('span', 'tile-unit-name', tile.unit);
        tile.unitAttempt = make('span', 'tile-unit-attempt', tile.unit);
        tile.time = make('span', 'tile-time', foot);
        return tile;
    }

    // The state in words, as [head, more]: "flashing 40 %", " · 102 KiB · 11.3 KiB/s".
    function phrase(d) {
        const known = STATES[d.state];
        let reason = typeof d.error === 'string' && d.error !== '' ? d.error : '';
        // A reason that starts with the slot's own path says "the slot":
        // the path is on the tile already, and the words after it matter.
        for (const path of [d.port, d.slot])
            if (typeof path === 'string' && path !== '' && reason.startsWith(path + ' ')) {
                reason = 'the slot' + reason.slice(path.length);
                break;
            }
        reason = reason ? ': ' + reason : '';
        switch (d.state) {
        case 'waiting':
            return [d.unit ? 'starting' : 'waiting for a unit', ''];
        case 'preamble':
            return ['preamble', ''];
        case 'booting':
            return ['waiting for the boot loader', ''];
        case 'flashing': {
            const percent = isNumber(d.percent) ? Math.max(0, Math.min(100, Math.round(d.percent))) : 0;
            const more = [formatBytes(d.bytes), formatRate(d.rate)].filter(Boolean);
            return ['flashing ' + percent + ' %', more.length ? ' · ' + more.join(' · ') : ''];
        }
        case 'success':
            return ['success', ''];
        default:
            return [known ? known.word : String(d.state), reason];
        }
    }

    function render(tile) {
        const d = tile.data;
        const look = STATES[d.state] || UNKNOWN_STATE;
        const state = typeof d.state === 'string' ? d.state : 'unknown';
        if (tile.root.dataset.state !== state)
            tile.root.dataset.state = state;
        const cls = 'tile tone-' + look.tone;
        if (tile.root.className !== cls)
            tile.root.className = cls;

        const name = lastComponent(d.port);
        if (tile.name.textContent !== name) {
            setText(tile.name, name);
            fitName(tile);
        }
        const path = d.slot && d.slot !== d.port ? d.port + ' · slot ' + d.slot : d.port;
        setText(tile.path, path);
        if (tile.path.title !== path)
            tile.path.title = path;
        setText(tile.sign, look.sign);
        const [head, more] = phrase(d);
        setText(tile.stateHead, head);
        setText(tile.stateMore, more);
        const whole = typeof d.error === 'string' && d.error !== '' && d.state !== 'flashing' ? head + ': ' + d.error : head + more;
        if (tile.state.title !== whole)
            tile.state.title = whole;

        const flashing = d.state === 'flashing';
        tile.bar.hidden = !flashing;
        const width = (flashing && isNumber(d.percent) ? Math.max(0, Math.min(100, d.percent)) : 0) + '%';
        if (tile.fill.style.width !== width)
            tile.fill.style.width = width;

        // A unit is named by its serial number, else by where it is plugged
        // in (its by-path location, else its port's path): then the tile's
        // own name says it already.
        const unit = d.unit !== undefined && d.unit !== null && d.unit !== '' ? String(d.unit) : '';
        let unitName = unit.includes('/') ? lastComponent(unit) : unit;
        if (unitName === name)
            unitName = '';
        setText(tile.unitName, unitName ? 'unit ' + unitName : '');
        setText(tile.unitAttempt, unit && isNumber(d.attempt) ? (unitName ? ' · ' : '') + 'attempt ' + d.attempt : '');
        if (tile.unit.title !== unit)
            tile.unit.title = unit;
        tickTile(tile);
    }

    function tickTile(tile) {
        const since = tile.data.since;
        setText(tile.time, isNumber(since) ? formatDuration(stationNow() - since) : '');
    }

    function tileFor(port, slot) {
        let tile = tiles.get(port);
        if (!tile) {
            tile = makeTile(port);
            tile.data.slot = slot;
            tile.data.since = stationNow();
            tiles.set(port, tile);
            byId('tiles').appendChild(tile.root);
            layout();
        }
        return tile;
    }

    // Takes the station's word for the tiles. After a /status fetch, a tile an
    // event changed since the fetch went out keeps what the event said.
    function takeTiles(list, askedAt) {
        const fresh = (tile) => askedAt === undefined || tile.touched < askedAt;
        const listed = new Set();
        const order = [];
        for (const t of Array.isArray(list) ? list : []) {
            if (!t || typeof t.port !== 'string' || listed.has(t.port))
                continue;
            listed.add(t.port);
            let tile = tiles.get(t.port);
            if (!tile) {
                tile = makeTile(t.port);
                tiles.set(t.port, tile);
            }
            if (fresh(tile)) {
                tile.data = Object.assign({}, t);
                if (!isNumber(tile.data.since))
                    tile.data.since = stationNow();
                render(tile);
            }
            order.push(tile.root);
        }
        for (const [port, tile] of tiles) {
            if (listed.has(port))
                continue;
            if (fresh(tile)) {
                tiles.delete(port);
                tile.root.remove();
            } else {
                order.push(tile.root);
            }
        }
        const box = byId('tiles');
        const current = Array.from(box.children);
        if (current.length !== order.length || current.some((node, i) => node !== order[i]))
            box.replaceChildren(...order);
        layout();
    }

    function change(tile, fields) {
        const d = tile.data;
        if (fields.state !== undefined && fields.state !== d.state)
            d.since = stationNow();
        Object.assign(d, fields);
        tile.touched = performance.now();
        render(tile);
    }

    // ---- the stream ----

    function onSnapshot(s) {
        if (isNumber(s.now))
            clockOffset = s.now - Date.now();
        if (isNumber(s.started))
            started = s.started;
        showHeader(s);
        tickUptime();
        if (Array.isArray(s.tiles))
            takeTiles(s.tiles);
    }

    function onEvent(m) {
        const port = typeof m.port === 'string' ? m.port : null;
        const slot = typeof m.slot === 'string' ? m.slot : port;
        switch (m.event) {
        case 'snapshot':
            onSnapshot(m);
            clearBannerIfNewRun();
            setLink('live');
            return;
        case 'appeared':
            if (port)
                change(tileFor(port, slot), {unit: m.unit, attempt: undefined, error: undefined});
            askStatus();
            return;
        case 'state':
            if (port)
                change(tileFor(port, slot), {state: m.state, unit: m.unit, attempt: m.attempt,
                                             error: undefined, percent: 0, bytes: undefined, rate: undefined});
            return;
        case 'progress':
            if (port)
                change(tileFor(port, slot), {state: 'flashing', unit: m.unit !== undefined ? m.unit : tiles.get(port)?.data.unit,
                                             attempt: m.attempt !== undefined ? m.attempt : tiles.get(port)?.data.attempt,
                                             percent: m.percent, bytes: m.bytes, rate: m.rate});
            return;
        case 'result':
            if (port) {
                const tile = tileFor(port, slot);
                change(tile, {state: m.outcome, error: m.error, bytes: m.bytes,
                              unit: m.unit !== undefined ? m.unit : tile.data.unit,
                              attempt: m.attempt !== undefined ? m.attempt : tile.data.attempt});
            }
            askStatus();
            return;
        case 'left':
            if (port && slot && port !== slot && tiles.has(port)) {
                // A port of a usb: family is no slot of its own: its tile goes.
                tiles.get(port).root.remove();
                tiles.delete(port);
                layout();
            } else if (port) {
                change(tileFor(port, slot), {state: 'waiting', unit: undefined, attempt: undefined, error: undefined,
                                             percent: undefined, bytes: undefined, rate: undefined});
            }
            askStatus();
            return;
        case 'misconfigured':
            if (slot)
                change(tileFor(slot, slot), {state: 'misconfigured', error: m.error, unit: undefined, attempt: undefined});
            return;
        case 'error':
            showBanner('Station error: ' + (typeof m.error === 'string' ? m.error : 'unknown') +
                       '. It starts no more units.');
            return;
        case 'summary':
            showBanner('The station has stopped.');
            askStatus();
            return;
        default:
            return;
        }
    }

    function connect() {
        source = new EventSource('/events');
        source.onmessage = (e) => {
            let m;
            try {
                m = JSON.parse(e.data);
            } catch (err) {
                return;
            }
            if (m && typeof m === 'object')
                onEvent(m);
        };
        source.onerror = () => {
            // The browser reconnects by itself after a lost connection; the
            // next snapshot makes the page whole again. It gives up only on
            // an answer that is not a stream: then start over.
            setLink('reconnecting');
            if (source.readyState === EventSource.CLOSED) {
                source.close();
                setTimeout(connect, REOPEN_MS);
            }
        };
    }

    // ---- /status, for the header's counts ----

    function askStatus() {
        if (statusTimer !== null)
            return;
        statusTimer = setTimeout(() => {
            statusTimer = null;
            fetchStatus();
        }, STATUS_DELAY_MS);
    }

    function fetchStatus() {
        if (statusBusy) {
            statusAgain = true;
            return;
        }
        statusBusy = true;
        const askedAt = performance.now();
        fetch('/status', {cache: 'no-store'})
            .then((r) => (r.ok ? r.json() : null))
            .then((s) => {
                if (s && typeof s === 'object') {
                    if (isNumber(s.now))
                        clockOffset = s.now - Date.now();
                    if (isNumber(s.started) && s.started === started) {
                        showHeader(s);
                        if (Array.isArray(s.tiles))
                            takeTiles(s.tiles, askedAt);
                    }
                }
            })
            .catch(() => {})
            .finally(() => {
                statusBusy = false;
                if (statusAgain) {
                    statusAgain = false;
                    askStatus();
                }
            });
    }

    // ---- layout: tiles as large as the screen allows ----

    const U_MIN = 12, U_MAX = 64;     // the type unit, in px
    const TILE_W = 16, TILE_H = 12;   // a tile's size in type units

    function layout() {
        const box = byId('tiles');
        const n = Math.max(1, tiles.size);
        const gap = 10;
        const width = box.clientWidth;
        const height = box.clientHeight;
        if (width <= 0 || height <= 0)
            return;
        let best = {u: -1, cols: 1, rows: n};
        for (let cols = 1; cols <= n; ++cols) {
            const rows = Math.ceil(n / cols);
            const w = (width - (cols - 1) * gap) / cols;
            const h = (height - (rows - 1) * gap) / rows;
            const u = Math.min(w / TILE_W, h / TILE_H);
            if (u > best.u)
                best = {u, cols, rows};
        }
        const u = Math.max(U_MIN, Math.min(U_MAX, best.u));
        box.style.setProperty('--cols', best.cols);
        box.style.setProperty('--u', u.toFixed(2) + 'px');
        // Too many to fit: rows of the smallest legible size, and the page scrolls.
        box.classList.toggle('crowded', best.u < U_MIN);
        box.style.setProperty('--rows', best.rows);
        const changed = box.dataset.u !== u.toFixed(2) || box.dataset.cols !== String(best.cols);
        box.dataset.u = u.toFixed(2);
        box.dataset.cols = String(best.cols);
        box.tileWidth = (width - (best.cols - 1) * gap) / best.cols;
        if (changed)
            for (const tile of tiles.values())
                fitName(tile);
    }

    // The slot's name in the largest type that fits on one line of its tile,
    // or on two when one line would make it small.
    let measure = null;

    function textWidth(text, px, node) {
        if (!measure)
            measure = document.createElement('canvas').getContext('2d');
        const style = getComputedStyle(node);
        measure.font = style.fontWeight + ' ' + px + 'px ' + style.fontFamily;
        return measure.measureText(text).width;
    }

    function fitName(tile) {
        const box = byId('tiles');
        const u = parseFloat(box.dataset.u) || U_MIN;
        const inner = (box.tileWidth || TILE_W * u) - 2.2 * u;
        const at100 = textWidth(tile.name.textContent, 100, tile.name);
        let size = 2.4 * u;
        if (at100 > 0) {
            const oneLine = (100 * inner) / at100;
            // Breaks fall anywhere, so two lines hold a little under twice one.
            size = oneLine >= 1.6 * u ? Math.min(size, oneLine) : Math.min(1.6 * u, (100 * 1.85 * inner) / at100);
        }
        const px = Math.max(1.0 * u, size).toFixed(1) + 'px';
        if (tile.name.style.fontSize !== px)
            tile.name.style.fontSize = px;
    }

    function tick() {
        tickUptime();
        for (const tile of tiles.values())
            tickTile(tile);
    }

    function start() {
        setLink('connecting');
        window.addEventListener('resize', layout);
        setInterval(tick, TICK_MS);
        connect();
    }

    if (document.readyState === 'loading')
        document.addEventListener('DOMContentLoaded', start);
    else
        start();
})();
