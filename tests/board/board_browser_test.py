#!/usr/bin/python3
"""The station board in headless Chromium (Selenium) against a running
`qivo-dfu-cli --watch --http` and `qivo-device-sim` devices: a tile per
slot, a unit followed from waiting to success with each tile change within
200 ms of its event, a failure's reason, names made of markup shown as
text with no script run, and a station restart followed (README, Tests).
Exits 77 when Chromium, chromedriver or Selenium is missing."""

import argparse
import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
SKIP = 77
LIMIT_MS = 200
HOSTILE = '<img src=x onerror=window.pwned=1>'

# Runs in the page before its own script: notes when each message of the
# page's EventSource arrives and, through a MutationObserver, every change
# of a tile as it happens, both by the page's clock (performance.now()) and
# by the wall clock (Date.now()). An alert would also count as a script run.
RECORDER = r"""
(() => {
  const board = {arrivals: [], changes: []};
  window.__board = board;
  window.alert = () => { window.pwned = 'alert'; };
  const Original = window.EventSource;
  window.EventSource = class extends Original {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (e) => {
        board.arrivals.push({t: performance.now(), wall: Date.now(), data: e.data});
      });
    }
  };
  const take = (tile) => {
    const text = (cls) => { const n = tile.querySelector(cls); return n ? n.textContent : null; };
    board.changes.push({t: performance.now(), wall: Date.now(), port: tile.dataset.port,
                        state: tile.dataset.state || null, text: text('.tile-state'),
                        unit: text('.tile-unit'), unitTitle: tile.querySelector('.tile-unit')?.title ?? null,
                        name: text('.tile-name'), path: text('.tile-path')});
  };
  new MutationObserver((records) => {
    const tiles = new Set();
    for (const r of records) {
      const node = r.target.nodeType === Node.ELEMENT_NODE ? r.target : r.target.parentElement;
      const tile = node && node.closest ? node.closest('.tile') : null;
      if (tile)
        tiles.add(tile);
      for (const added of r.addedNodes)
        if (added.nodeType === Node.ELEMENT_NODE && added.matches('.tile'))
          tiles.add(added);
    }
    for (const tile of tiles)
      if (tile.isConnected)
        take(tile);
  }).observe(document, {subtree: true, childList: true, characterData: true, attributes: true});
})();
"""

TILES_JS = r"""
return Array.from(document.querySelectorAll('#tiles .tile')).map((tile) => {
  const text = (cls) => { const n = tile.querySelector(cls); return n ? n.textContent : null; };
  return {port: tile.dataset.port, state: tile.dataset.state || null, text: text('.tile-state'),
          unit: text('.tile-unit'), name: text('.tile-name'), path: text('.tile-path')};
});
"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


def wait_for(what, predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure('timed out after %.0f s waiting for %s' % (timeout, what))
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def stop(process, timeout=15):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Lines:
    """Reads a process's standard output line by line on a thread of its own,
    noting when each line arrived (wall clock, ms)."""

    def __init__(self, stream):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            with self.lock:
                self.lines.append((time.time() * 1000, raw.decode('utf-8', 'replace').rstrip('\n')))

    def all(self):
        with self.lock:
            return list(self.lines)


class Station:
    def __init__(self, cli, port, slots, image, workdir):
        self.http = port
        argv = [cli, '--watch', '--json', '--http', '127.0.0.1:%d' % port]
        for slot in slots:
            argv += ['-p', slot]
        argv.append(image)
        self.stderr = open(os.path.join(workdir, 'station-%d.err' % time.monotonic_ns()), 'w+b')
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.stderr, cwd=workdir)
        self.output = Lines(self.process.stdout)
        wait_for('the station to answer on port %d' % port, self._answers, 20, 0.1)

    def _answers(self):
        if self.process.poll() is not None:
            self.stderr.seek(0)
            raise Failure('the station exited with %d: %s' % (self.process.returncode,
                                                               self.stderr.read().decode('utf-8', 'replace')))
        try:
            return get_json(self.http, '/status')
        except (OSError, http.client.HTTPException, ValueError):
            return None

    def stop(self):
        stop(self.process)


class Device:
    """A simulated device whose port appears as `link` while it runs."""

    def __init__(self, sim, link, *options):
        self.link = link
        self.folder = tempfile.mkdtemp(prefix='sim-')
        self.process = subprocess.Popen([sim, '--link', link, '--dir', self.folder, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        first = self.process.stdout.readline().decode()
        check(first.startswith('port '), 'the simulator did not start: %r' % first)
        self.output = Lines(self.process.stdout)

    def stop(self):
        stop(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)


def get_json(port, path):
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=5)
    try:
        connection.request('GET', path)
        response = connection.getresponse()
        if response.status != 200:
            raise ValueError('%s answered %d' % (path, response.status))
        return json.loads(response.read())
    finally:
        connection.close()


class Stream:
    """This script's own reader of /events: every message, parsed, with the
    wall-clock time (ms) its last line arrived."""

    def __init__(self, port):
        self.messages = []
        self.lock = threading.Lock()
        self.connection = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
        self.connection.request('GET', '/events', headers={'Accept': 'text/event-stream'})
        self.socket = self.connection.sock   # the response takes it over
        response = self.connection.getresponse()
        check(response.status == 200, '/events answered %d' % response.status)
        kind = response.getheader('Content-Type', '')
        check(kind.startswith('text/event-stream'), '/events is %r, not text/event-stream' % kind)
        self.response = response
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        data = []
        try:
            while True:
                line = self.response.readline()
                if not line:
                    return
                line = line.decode('utf-8').rstrip('\r\n')
                if line == '':
                    if data:
                        arrived = time.time() * 1000
                        message = json.loads('\n'.join(data))
                        with self.lock:
                            self.messages.append((arrived, message))
                    data = []
                elif line.startswith('data:'):
                    data.append(line[5:].lstrip(' ') if line.startswith('data: ') else line[5:])
        except (OSError, ValueError, AttributeError, http.client.HTTPException):
            return   # closed, also from under the read by close()

    def all(self):
        with self.lock:
            return list(self.messages)

    def find(self, predicate):
        return [m for m in self.all() if predicate(m[1])]

    def close(self):
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.connection.close()


def browser(width=1920, height=1080):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1920,1080',
                     '--disable-dev-shm-usage', '--hide-scrollbars'):
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    # The page at exactly this size, whatever the headless window's frame takes.
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})
    return driver


def tiles(driver):
    return {t['port']: t for t in driver.execute_script(TILES_JS)}


def text_of(driver, element_id):
    return driver.execute_script('return document.getElementById(arguments[0]).textContent', element_id)


def make_image(path, size):
    with open(path, 'wb') as f:
        f.write(os.urandom(size))
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


# ---- how quickly a tile follows its events ----

def shows(message):
    """What the tile shows once it has taken `message` in."""
    event = message.get('event')
    unit = message.get('unit')
    if event == 'appeared':
        return lambda c: c['unitTitle'] == unit
    if event == 'state':
        return lambda c: c['state'] == message['state']
    if event == 'progress':
        head = 'flashing %d %%' % message['percent']
        return lambda c: c['state'] == 'flashing' and (c['text'] == head or (c['text'] or '').startswith(head + ' '))
    if event == 'result':
        return lambda c: c['state'] == message['outcome']
    if event == 'left':
        return lambda c: c['state'] == 'waiting' and not c['unit'] and not c['unitTitle']
    return None


def shown_at(changes, port, since, predicate):
    """The first change of tile `port` that shows what `predicate` wants, at
    or after `since` (page clock); one already showing it then counts at once."""
    before = [c for c in changes if c['port'] == port and c['t'] < since]
    if before and predicate(before[-1]):
        return dict(before[-1], t=since)
    for c in changes:
        if c['port'] == port and c['t'] >= since and predicate(c):
            return c
    return None


def latencies(stream_messages, arrivals, changes, port):
    """For each event of `port` this script read: when the page got it, when
    its tile showed it, and both delays. Fails on an event the page missed."""
    page = [(a, json.loads(a['data'])) for a in arrivals]
    used = 0
    rows = []
    for read_at, message in stream_messages:
        if message.get('port') != port or shows(message) is None:
            continue
        match = None
        while used < len(page):
            arrival, data = page[used]
            used += 1
            if data == message:
                match = arrival
                break
        check(match is not None, 'the page never got %s' % json.dumps(message))
        change = shown_at(changes, port, match['t'], shows(message))
        check(change is not None, 'the tile never showed %s' % json.dumps(message))
        rows.append({'event': message, 'page_ms': change['t'] - match['t'], 'stream_ms': change['wall'] - read_at})
    return rows


def report_latencies(rows, what):
    late = [r for r in rows if r['page_ms'] > LIMIT_MS or r['stream_ms'] > LIMIT_MS]
    check(not late, '%s: a tile changed more than %d ms after its event: %s' % (
        what, LIMIT_MS, '; '.join('%s page %.0f ms, stream %.0f ms' % (json.dumps(r['event']), r['page_ms'], r['stream_ms'])
                                  for r in late)))


def says(word, reason, path):
    """A tile's state with its reason, as the page words it: a reason that
    starts with the slot's path says "the slot" instead."""
    if reason.startswith(path + ' '):
        reason = 'the slot' + reason[len(path):]
    return word + ': ' + reason


def states_in_order(changes, port):
    seen = []
    for c in changes:
        if c['port'] == port and (not seen or seen[-1] != c['state']):
            seen.append(c['state'])
    return seen


def is_subsequence(wanted, seen):
    it = iter(seen)
    return all(any(s in options for s in it) for options in wanted)


# ---- the checks ----

def run_checks(args, work):
    started_at = time.monotonic()
    image = os.path.join(work, HOSTILE + '.bin')
    sha = make_image(image, 64 * 1024)
    slots_dir = os.path.join(work, 'slots')
    os.makedirs(os.path.join(slots_dir, '<'))
    follow = os.path.join(slots_dir, 'follow')
    refuses = os.path.join(slots_dir, 'refuses')
    hostile = os.path.join(slots_dir, HOSTILE)
    closing = os.path.join(slots_dir, '<', 'script>')   # the path ends in </script>
    folder = os.path.join(slots_dir, 'a folder')
    os.makedirs(folder)
    slots = [follow, refuses, hostile, closing, folder]
    port = free_port()
    devices = []
    station = driver = stream = None
    try:
        station = Station(args.cli, port, slots, image, work)
        stream = Stream(port)
        driver = browser()
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': RECORDER})
        driver.get('http://127.0.0.1:%d/' % port)

        # A tile per slot, the header, and the folder misconfigured.
        wait_for('a tile per slot', lambda: set(tiles(driver)) == set(slots), 15)
        wait_for('the page to be live', lambda: text_of(driver, 'link') == 'live', 10)
        check(len(tiles(driver)) == len(slots), 'more tiles than slots: %s' % list(tiles(driver)))
        status = get_json(port, '/status')
        by_port = {t['port']: t for t in status['tiles']}
        wait_for('the folder shown as misconfigured',
                 lambda: tiles(driver)[folder]['state'] == 'misconfigured', 10)
        reason = by_port[folder].get('error')
        check(reason, 'the station gave no reason for the folder slot: %s' % json.dumps(by_port[folder]))
        want = says('misconfigured', reason, folder)
        check(tiles(driver)[folder]['text'] == want, 'the folder tile says %r, not %r' % (tiles(driver)[folder]['text'], want))
        check(text_of(driver, 'image-name') == HOSTILE + '.bin', 'the image name shows as %r' % text_of(driver, 'image-name'))
        check(sha[:12] in text_of(driver, 'image-sha'), 'the header shows %r, not the hash %s' % (text_of(driver, 'image-sha'), sha[:12]))
        check(text_of(driver, 'units') == '0', 'the header shows %r units, not 0' % text_of(driver, 'units'))
        check(tiles(driver)[follow]['state'] == 'waiting', 'an empty slot shows %r' % tiles(driver)[follow])

        # One unit followed from waiting to success and back.
        driver.execute_script('window.__board.arrivals = []; window.__board.changes = [];')
        read_from = len(stream.all())
        device = Device(args.sim, follow, '--pace', '--boot-ms', '500')
        devices.append(device)
        result = wait_for('the followed unit\'s result', lambda: stream.find(
            lambda m: m.get('event') == 'result' and m.get('port') == follow), 90, 0.1)[0][1]
        check(result['outcome'] == 'success', 'the followed unit ended %s' % json.dumps(result))
        wait_for('the tile to show success', lambda: tiles(driver)[follow]['state'] == 'success', 5)
        shown = tiles(driver)[follow]
        check(shown['text'] == 'success', 'the success tile says %r' % shown['text'])
        appeared = stream.find(lambda m: m.get('event') == 'appeared' and m.get('port') == follow)[0][1]
        # A unit named after its slot (a simulated device has no serial
        # number) is not named twice on its tile.
        check(appeared['unit'] == follow, 'the unit on a simulated device is %r' % appeared['unit'])
        want_unit = 'attempt 1'
        check(shown['unit'] == want_unit, 'the tile names %r, not %r' % (shown['unit'], want_unit))
        device.stop()
        wait_for('the unit to leave', lambda: stream.find(
            lambda m: m.get('event') == 'left' and m.get('port') == follow), 15, 0.1)
        wait_for('the tile to wait again', lambda: tiles(driver)[follow]['state'] == 'waiting', 5)
        time.sleep(0.3)
        board = driver.execute_script('return window.__board')
        sequence = states_in_order([{'port': follow, 'state': 'waiting'}] + board['changes'], follow)
        check(is_subsequence([{'waiting'}, {'preamble', 'booting'}, {'flashing'}, {'success'}, {'waiting'}], sequence),
              'the tile went through %s' % sequence)
        rows = latencies(stream.all()[read_from:], board['arrivals'], board['changes'], follow)
        kinds = {r['event']['event'] for r in rows}
        check({'appeared', 'state', 'progress', 'result', 'left'} <= kinds,
              'events of the followed unit: %s' % sorted(kinds))
        report_latencies(rows, 'followed unit')
        # The header refetches /status after "left"; the unit counts as passed then.
        check(text_of(driver, 'units') == '1', 'the header shows %r units, not 1' % text_of(driver, 'units'))
        try:
            wait_for('the header\'s first-pass yield', lambda: text_of(driver, 'first-pass-yield') == '100.0 %', 5)
        except Failure:
            raise Failure('the header\'s first-pass yield is %r after the unit left; /status says %s' % (
                text_of(driver, 'first-pass-yield'), json.dumps(get_json(port, '/status')['summary'])))

        # A failure with its reason; the hostile slots get units too, so
        # their names also come through events.
        driver.execute_script('window.__board.arrivals = []; window.__board.changes = [];')
        read_from = len(stream.all())
        devices.append(Device(args.sim, refuses, '--nak-after', '1'))
        devices.append(Device(args.sim, hostile, '--once'))
        devices.append(Device(args.sim, closing, '--once'))
        failed = wait_for('the refused unit\'s result', lambda: stream.find(
            lambda m: m.get('event') == 'result' and m.get('port') == refuses), 90, 0.1)[0][1]
        check(failed['outcome'] == 'failed' and failed.get('error'), 'the refusing unit ended %s' % json.dumps(failed))
        wait_for('the tile to show the failure', lambda: tiles(driver)[refuses]['state'] == 'failed', 5)
        want = says('failed', failed['error'], refuses)
        check(tiles(driver)[refuses]['text'] == want, 'the failed tile says %r, not %r' % (tiles(driver)[refuses]['text'], want))
        for slot in (hostile, closing):
            wait_for('the unit on %s to come and go' % slot, lambda: stream.find(
                lambda m: m.get('event') == 'left' and m.get('port') == slot), 60, 0.1)
        time.sleep(0.3)
        board = driver.execute_script('return window.__board')
        report_latencies(latencies(stream.all()[read_from:], board['arrivals'], board['changes'], refuses), 'failed unit')

        # Markup in names is text.
        shown = tiles(driver)
        check(shown[hostile]['name'] == HOSTILE and shown[hostile]['path'] == hostile,
              'the hostile slot shows as %r / %r' % (shown[hostile]['name'], shown[hostile]['path']))
        check(shown[closing]['name'] == 'script>' and shown[closing]['path'] == closing,
              'the </script> slot shows as %r / %r' % (shown[closing]['name'], shown[closing]['path']))
        visible = driver.find_element('tag name', 'body').text
        for text in (HOSTILE, closing, HOSTILE + '.bin'):
            check(text in visible, '%r is not on the page as text' % text)
        harm = driver.execute_script(
            'return {pwned: window.pwned === undefined ? null : String(window.pwned),'
            ' images: document.querySelectorAll("img").length,'
            ' scripts: Array.from(document.scripts).map((s) => s.src)}')
        check(harm['pwned'] is None, 'a script from a name ran: window.pwned = %r' % harm['pwned'])
        check(harm['images'] == 0, '%d <img> elements made from names' % harm['images'])
        check(harm['scripts'] == ['http://127.0.0.1:%d/board.js' % port], 'scripts on the page: %s' % harm['scripts'])

        # The station restarts on the same port; the page follows.
        for d in devices:
            d.stop()
        stream.close()
        old = get_json(port, '/status')
        station.stop()
        wait_for('the page to say it is reconnecting', lambda: text_of(driver, 'link') == 'reconnecting…', 10)
        fresh = os.path.join(slots_dir, 'fresh')
        station = Station(args.cli, port, [follow, fresh], image, work)
        wait_for('the page to show the new station', lambda: set(tiles(driver)) == {follow, fresh}
                 and text_of(driver, 'link') == 'live', 30, 0.1)
        new = get_json(port, '/status')
        check(new['started'] != old['started'], 'the station did not restart')
        check(text_of(driver, 'units') == '0', 'the new station shows %r units' % text_of(driver, 'units'))
        check(driver.execute_script('return document.getElementById("banner").hidden'),
              'the old station\'s banner is still shown: %r' % text_of(driver, 'banner'))

        problems = [e['message'] for e in driver.get_log('browser')
                    if 'Content Security Policy' in e['message'] or 'Uncaught' in e['message']]
        check(not problems, 'the browser reported: %s' % problems)
        log('all checks passed in %.1f s' % (time.monotonic() - started_at))
        return 0
    finally:
        for d in devices:
            d.stop()
        if stream:
            stream.close()
        if driver:
            driver.quit()
        if station:
            station.stop()


# ---- the README's picture ----

def missing_browser():
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return path + ' is missing (apt install chromium chromium-driver)'
    try:
        import selenium  # noqa: F401
    except ImportError:
        return 'Selenium is missing (apt install python3-selenium)'
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--cli', required=True, help='qivo-dfu-cli')
    parser.add_argument('--sim', required=True, help='qivo-device-sim')
    parser.add_argument('--keep', action='store_true', help='keep the scratch folder')
    args = parser.parse_args()
    args.cli, args.sim = os.path.abspath(args.cli), os.path.abspath(args.sim)
    for program in (args.cli, args.sim):
        if not os.access(program, os.X_OK):
            log('not a program: %s' % program)
            return 1
    why = missing_browser()
    if why:
        log('skipped: ' + why)
        return SKIP
    work = tempfile.mkdtemp(prefix='board-test-')
    try:
        return run_checks(args, work)
    except Failure as failure:
        log('FAIL: %s' % failure)
        return 1
    finally:
        if args.keep:
            log('kept %s' % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
