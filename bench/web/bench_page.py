#!/usr/bin/python3
"""The web page's figures in headless Chromium, side by side in one run, against the real
switcher-bridge (and switcher-console offscreen, with --console) over switcher-sim on a
pseudo-terminal (256 by 256), with a gateway client beside the pages:

  1. page load to a filled grid: from the navigation's start to the moment every tile shows
     a reported route, timed inside the page (goal: under 300 ms; median of --loads loads);
  2. a route tapped until the tile shows the switcher's report, timed inside the page (the
     click's dispatch to the DOM change), against the gateway's round trip of "Status12."
     in the same run (goal: adds under 5 ms at the median);
  3. a 256-line status burst: after "NAll." has changed the switcher's routing, "Status."
     through the gateway; WebSocket messages each page received for it, and the time from
     sending "Status." until every tile shows it (goals: at most 4 messages, under 20 ms),
     with one page and with 16;
  4. 100 such bursts with 16 pages open against none open (before and after): the gateway
     client's "Status." until all 256 lines are back, and the front end's CPU time per burst
     (all threads) (goal: ratio under 1.5).

Times inside the page come from performance.now(), through a script put into every page
before its own (a MutationObserver on the document and a counter on its WebSocket), so
selenium's polling is never in them. The pages run in one browser, one tab each, with
background throttling off as every page would be in front on its own phone.

Usage: bench_page.py --bridge PATH --sim PATH [--console PATH] [--bursts N] [--loads N]
                     [--taps N] [--pages N]
Debian: chromium chromium-driver python3-selenium.
"""

import argparse
import glob
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

OUTPUTS = 256
GOALS = {'load': 300.0, 'tap_added': 5.0, 'messages': 4, 'burst': 20.0, 'ratio': 1.5}

# Put into every page before its own script: counts the WebSocket's messages and notes, at
# each batch of DOM changes, when every tile first shows a route, when all show the same
# input (a burst of "NAll." then "Status."), and when a tapped tile shows the wanted input.
PROBE = r'''
(() => {
  const B = { messages: 0, arrivals: [], filled: null, filledFrame: null, bursts: [], tap: null, lastAll: null };
  Object.defineProperty(window, '__bench', { value: B });
  const Native = window.WebSocket;
  function Counting(...a) {
    const ws = new Native(...a);
    ws.addEventListener('message', () => { B.messages++; B.arrivals.push(performance.now()); });
    return ws;
  }
  Counting.prototype = Native.prototype;
  for (const k of ['CONNECTING', 'OPEN', 'CLOSING', 'CLOSED']) Counting[k] = Native[k];
  window.WebSocket = Counting;
  window.addEventListener('click', (e) => {
    if (B.tap && e.target.closest && e.target.closest('.pick')) B.tap.clicked = performance.now();
  }, true);
  const check = () => {
    const now = performance.now();
    const srcs = document.querySelectorAll('#grid .tile .src');
    if (!srcs.length) return;
    let all = srcs[0].textContent, known = true;
    for (const s of srcs) {
      const t = s.textContent;
      if (t === '?') known = false;
      if (t !== all) all = null;
    }
    if (B.filled === null && known) {
      B.filled = now;
      B.tiles = srcs.length;
      requestAnimationFrame(() => { B.filledFrame = performance.now(); });
    }
    if (all !== null && all !== '?' && all !== B.lastAll) {
      B.lastAll = all;
      B.bursts.push({ input: all, at: now, messages: B.messages });
    }
    if (B.tap && B.tap.at === undefined) {
      const t = document.querySelector(`.tile[data-output="${B.tap.output}"] .src`);
      if (t && t.textContent === B.tap.want) B.tap.at = now;
    }
  };
  new MutationObserver(check).observe(document, { subtree: true, childList: true, characterData: true });
})();
'''


def median(v):
    return statistics.median(v) if v else float('nan')


def p95(v):
    if not v:
        return float('nan')
    s = sorted(v)
    return s[min(len(s) - 1, int(0.95 * (len(s) - 1) + 0.5))]


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def cpu_ns(pid):
    """CPU time of every thread of a process, in ns (schedstat's first field)."""
    total = 0
    for f in glob.glob(f'/proc/{pid}/task/*/schedstat'):
        try:
            with open(f) as fh:
                total += int(fh.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended between the listing and the read
    return total


class Gateway:
    """A gateway client: the switcher's lines, every client's, as the gateway sends them."""

    def __init__(self, port, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.s = socket.create_connection(('127.0.0.1', port), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.s.setblocking(False)
        self.buf = b''

    def close(self):
        self.s.close()

    def _read(self, timeout):
        r, _, _ = select.select([self.s], [], [], timeout)
        if not r:
            return False
        data = self.s.recv(65536)
        if not data:
            raise ConnectionError('the gateway closed the connection')
        self.buf += data
        return True

    def line(self, timeout):
        """The next whole line, or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while b'\n' not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not self._read(left):
                return None
        line, _, self.buf = self.buf.partition(b'\n')
        return line

    def drain(self, quiet=0.0):
        """Drops what has come, and what comes until nothing has for `quiet` seconds."""
        while self._read(quiet):
            pass
        self.buf = b''

    def send(self, text):
        self.s.sendall(text.encode())

    def until(self, pred, count=1, timeout=5.0):
        """Reads lines until `count` of them satisfy pred; False after timeout."""
        deadline = time.monotonic() + timeout
        seen = 0
        while seen < count:
            line = self.line(max(0.0, deadline - time.monotonic()))
            if line is None:
                return False
            if pred(line):
                seen += 1
        return True


def is_route(line):
    return b' > ' in line


class FrontEnd:
    """switcher-sim on a pty and the bridge or the console over it, gateway and page on."""

    def __init__(self, kind, exe, sim):
        self.kind = kind
        self.folder = tempfile.mkdtemp(prefix=f'bench-page-{kind}-')
        self.sim = subprocess.Popen([sim, '--pty', '--quiet', '--outputs', str(OUTPUTS), '--inputs', str(OUTPUTS)],
                                    stdout=subprocess.PIPE, text=True)
        first = self.sim.stdout.readline().split()
        if len(first) != 2 or first[0] != 'PTY':
            raise RuntimeError('switcher-sim did not start')
        pty = first[1]
        self.gateway_port, self.web_port = free_port(), free_port()
        with open(os.path.join(self.folder, 'Switcher.ini'), 'w') as f:
            f.write(f'[Bridge]\nLink={pty}\n[COM]\nCOM1={pty}\n[Gateway]\nPort={self.gateway_port}\n'
                    f'[Web]\nPort={self.web_port}\n')
        env = dict(os.environ, SWITCHER_CONFIG_DIR=self.folder, SWITCHER_LOG_DIR=os.path.join(self.folder, 'log'),
                   QT_QPA_PLATFORM='offscreen')
        self.log = open(os.path.join(self.folder, 'log.txt'), 'w')
        self.p = subprocess.Popen([exe], env=env, stdout=self.log, stderr=self.log)
        self.url = f'http://127.0.0.1:{self.web_port}/'
        self.gw = None
        try:
            self.identify()
        except Exception:
            self.stop(True)
            raise

    def identify(self):
        self.gw = Gateway(self.gateway_port)
        # Identified once "Status1." is answered with a route.
        deadline = time.monotonic() + 20
        while True:
            self.gw.drain()
            self.gw.send('Status1.')
            line = self.gw.line(1.0)
            if line is not None and b'> 001' in line:
                break
            if time.monotonic() > deadline:
                raise RuntimeError(f'{self.kind} did not identify the simulator')
            time.sleep(0.05)
        time.sleep(0.5)
        self.gw.drain(0.2)

    def stop(self, failed=False):
        if self.gw:
            self.gw.close()
        self.log.close()
        if failed:
            with open(self.log.name) as f:
                sys.stderr.write(f'{self.kind}\'s output:\n' + f.read())
        for p in (self.p, self.sim):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def round_trip(self):
        """ms from sending "Status12." to its answer."""
        self.gw.drain()
        t = time.perf_counter()
        self.gw.send('Status12.')
        if not self.gw.until(lambda l: b'> 012' in l):
            raise RuntimeError('no answer to Status12.')
        return 1000 * (time.perf_counter() - t)

    def burst(self, input_):
        """Changes every route with "NAll.", then asks "Status." and reads the 256 lines.
        Returns (wall-clock ms when "Status." was sent, ms until the 256th line). Waits for
        the front end's own refresh after "NAll." (256 unchanged lines) before it returns."""
        self.gw.drain()
        self.gw.send(f'{input_}All.')
        if not self.gw.until(lambda l: b'To All' in l):
            raise RuntimeError(f'no answer to {input_}All.')
        sent = time.time() * 1000
        t = time.perf_counter()
        self.gw.send('Status.')
        if not self.gw.until(is_route, OUTPUTS):
            raise RuntimeError('the status burst did not come back whole')
        took = 1000 * (time.perf_counter() - t)
        # The refresh the bridge asks for 200 ms after "N To All." (the console asks for none).
        self.gw.until(is_route, OUTPUTS, timeout=0.6)
        self.gw.drain(0.03)
        return sent, took


def browser(profile):
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-dev-shm-usage',
              '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
              '--disable-backgrounding-occluded-windows', '--window-size=1280,800', f'--user-data-dir={profile}'):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(shutil.which('chromedriver') or '/usr/bin/chromedriver'), options=o)


def wait_for(d, script, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = d.execute_script(script)
        if v:
            return v
        time.sleep(0.01)
    state = d.execute_script('return JSON.stringify({bench: window.__bench && {filled: __bench.filled, '
                             'frame: __bench.filledFrame, messages: __bench.messages}, '
                             'connection: document.getElementById("connection-text")?.textContent, '
                             'offline: document.body?.classList.contains("offline")})')
    raise RuntimeError(f'timed out waiting for: {script}; the page: {state}')


def probe(d):
    """Puts the probe into every page the current tab loads from now on (once per tab)."""
    d.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': PROBE})


def open_page(d, url):
    """Loads the page in the current tab; returns the probe's figures once the grid is filled."""
    d.get(url)
    return wait_for(d, 'return window.__bench && window.__bench.filled !== null && window.__bench.filledFrame !== null '
                       '&& {filled: __bench.filled, frame: __bench.filledFrame, tiles: __bench.tiles,'
                       ' origin: performance.timeOrigin, skew: Date.now() - (performance.timeOrigin + performance.now())}')


def measure_loads(d, url, loads):
    filled, frame, tiles, skew = [], [], 0, []
    for _ in range(loads):
        d.get('about:blank')
        d.get(url)
        b = wait_for(d, 'return window.__bench && __bench.filledFrame !== null && '
                        '{filled: __bench.filled, frame: __bench.filledFrame, tiles: __bench.tiles,'
                        ' skew: Date.now() - (performance.timeOrigin + performance.now())}')
        filled.append(b['filled'])
        frame.append(b['frame'])
        tiles = b['tiles']
        skew.append(b['skew'])
    return {'filled': filled, 'frame': frame, 'tiles': tiles, 'skew': skew}


def measure_taps(d, fe, taps):
    """Output 3 routed from inputs 5 and 6 in turn by clicks, against Status12. trips."""
    d.find_element(By.CSS_SELECTOR, '.tile[data-output="3"]').click()
    wait_for(d, 'return !document.getElementById("panel").hidden')
    wait_for(d, 'return !document.querySelector(".pick[data-input=\\"5\\"]").disabled')
    tapped, arrived, trips = [], [], []
    for k in range(taps + 2):
        for _ in range(4):
            trips.append(fe.round_trip())
        current = d.execute_script('return document.querySelector(\'.tile[data-output="3"] .src\').textContent')
        want = '6' if current == '5' else '5'
        d.execute_script('__bench.tap = {output: 3, want: arguments[0]}', want)
        d.find_element(By.CSS_SELECTOR, f'.pick[data-input="{want}"]').click()
        t = wait_for(d, 'const t = __bench.tap; if (t.at === undefined || t.clicked === undefined) return null; '
                        'const came = __bench.arrivals.filter((x) => x <= t.at).pop(); '
                        'return [t.at - t.clicked, came - t.clicked]')
        d.execute_script('__bench.tap = null')
        if k >= 2:  # the first two warm the path up
            tapped.append(t[0])
            arrived.append(t[1])
        time.sleep(0.02)
    fe.gw.drain(0.05)
    d.find_element(By.ID, 'panel-close').click()
    return tapped, arrived, trips


def run_bursts(fe, count, first_input):
    sent, took = [], []
    before = cpu_ns(fe.p.pid)
    n = first_input
    inputs = []
    for _ in range(count):
        n = n % (OUTPUTS - 1) + 2  # 2..256, never the one before
        s, t = fe.burst(n)
        sent.append(s)
        took.append(t)
        inputs.append(str(n))
    cpu = (cpu_ns(fe.p.pid) - before) / count / 1e6
    return {'sent': sent, 'took': took, 'cpu': cpu, 'inputs': inputs, 'last': n}


def page_bursts(b, run):
    """Per burst of the run: messages the page got for it and ms from "Status." sent to all
    tiles showing it (wall clock), and from its first message to all tiles (page only)."""
    by_input = {}
    bursts = b['bursts']
    for i, x in enumerate(bursts):
        if i == 0:
            continue  # the previous value is not one of this run's bursts
        prev = bursts[i - 1]
        first = b['arrivals'][prev['messages']] if prev['messages'] < len(b['arrivals']) else x['at']
        by_input[len(by_input)] = (x['input'], x['messages'] - prev['messages'], x['at'], first)
    msgs, total, inside = [], [], []
    # Bursts follow one another; match the run's bursts to the page's by order and input.
    seen = list(by_input.values())
    j = 0
    for sent, inp in zip(run['sent'], run['inputs']):
        while j < len(seen) and seen[j][0] != inp:
            j += 1
        if j == len(seen):
            break
        _, m, at, first = seen[j]
        msgs.append(m)
        total.append(b['origin'] + at - sent)
        inside.append(at - first)
        j += 1
    return msgs, total, inside


def collect(d, handles):
    out = []
    for h in handles:
        d.switch_to.window(h)
        out.append(d.execute_script('return {bursts: __bench.bursts, arrivals: __bench.arrivals, '
                                    'origin: performance.timeOrigin, '
                                    'skew: Date.now() - (performance.timeOrigin + performance.now())}'))
    return out


def bench(kind, exe, sim, a, d, probed):
    fe = FrontEnd(kind, exe, sim)
    r = {}
    failed = True
    try:
        main = d.current_window_handle
        if main not in probed:
            probe(d)
            probed.add(main)
        loads = measure_loads(d, fe.url, a.loads)
        r['loads'] = loads
        r['taps'], r['arrived'], r['trips'] = measure_taps(d, fe, a.taps)

        # Bursts with no page, one page, the pages, and none again.
        d.get('about:blank')
        time.sleep(0.3)
        r['none1'] = run_bursts(fe, a.bursts, 1)
        open_page(d, fe.url)
        time.sleep(0.3)
        r['one'] = run_bursts(fe, a.one_bursts, r['none1']['last'])
        r['one_page'] = page_bursts(collect(d, [main])[0], r['one'])
        handles = [main]
        for k in range(a.pages - 1):
            d.switch_to.new_window('tab')
            probe(d)
            open_page(d, fe.url)
            handles.append(d.current_window_handle)
        d.switch_to.window(main)
        time.sleep(0.5)
        fe.gw.drain(0.05)
        r['many'] = run_bursts(fe, a.bursts, r['one']['last'])
        pages = collect(d, handles)
        msgs, total, inside = [], [], []
        r['skew'] = [p['skew'] for p in pages]
        for p in pages:
            m, t, i = page_bursts(p, r['many'])
            msgs += m
            total += t
            inside += i
        r['many_pages'] = (msgs, total, inside)
        for h in handles[1:]:
            d.switch_to.window(h)
            d.close()
        d.switch_to.window(main)
        d.get('about:blank')
        time.sleep(0.3)
        r['none2'] = run_bursts(fe, a.bursts, r['many']['last'])
        failed = False
    finally:
        fe.stop(failed)
    return r


def report(kind, r, pages):
    lines = []
    L = r['loads']
    lines.append(f'{kind}:')
    lines.append(f'  1. page load to a filled grid of {L["tiles"]} tiles ({len(L["filled"])} loads): median '
                 f'{median(L["filled"]):.0f} ms (first {L["filled"][0]:.0f}, p95 {p95(L["filled"]):.0f}), next frame '
                 f'{median(L["frame"]):.0f} ms (goal under {GOALS["load"]:.0f} ms)')
    tap, trip = median(r['taps']), median(r['trips'])
    lines.append(f'  2. route tapped until the tile shows the report ({len(r["taps"])} taps): median {tap:.2f} ms '
                 f'(p95 {p95(r["taps"]):.2f}); gateway Status12. round trip median {trip:.2f} ms (p95 '
                 f'{p95(r["trips"]):.2f}, {len(r["trips"])}): adds {tap - trip:.2f} ms (goal under {GOALS["tap_added"]:.0f} ms)')
    lines.append(f'     of which the click until the route\'s change message came: median {median(r["arrived"]):.2f} ms')
    for label, key, pkey in (('1 page', 'one', 'one_page'), (f'{pages} pages', 'many', 'many_pages')):
        msgs, total, inside = r[pkey]
        n = len(r[key]['sent'])
        if not msgs:
            lines.append(f'  3. 256-line burst, {label}: no burst seen by the pages')
            continue
        lines.append(f'  3. 256-line burst, {label} ({n} bursts, {len(msgs)} seen by pages): messages per page max '
                     f'{max(msgs)} (median {median(msgs):.0f}; goal at most {GOALS["messages"]}); "Status." sent until '
                     f'all tiles show it: median {median(total):.1f} ms, p95 {p95(total):.1f}, worst {max(total):.1f} '
                     f'(goal under {GOALS["burst"]:.0f} ms); first message to all tiles: median {median(inside):.1f} ms')
    none = r['none1']['took'] + r['none2']['took']
    many = r['many']['took']
    cpu_none = (r['none1']['cpu'] + r['none2']['cpu']) / 2
    lines.append(f'  4. "Status." until the gateway client has 256 lines ({len(many)} bursts each): {pages} pages median '
                 f'{median(many):.2f} ms (p95 {p95(many):.2f}), none {median(none):.2f} ms (before '
                 f'{median(r["none1"]["took"]):.2f}, after {median(r["none2"]["took"]):.2f}): ratio '
                 f'{median(many) / median(none):.2f} (goal under {GOALS["ratio"]})')
    lines.append(f'     {kind} CPU per burst (NAll., Status., the refresh; every thread): {pages} pages '
                 f'{r["many"]["cpu"]:.2f} ms, none {cpu_none:.2f} ms (before {r["none1"]["cpu"]:.2f}, after '
                 f'{r["none2"]["cpu"]:.2f}): ratio {r["many"]["cpu"] / cpu_none:.2f}')
    skew = r['skew'] + r['loads']['skew']
    lines.append(f'     the page clock against the wall clock: {min(skew):.1f} to {max(skew):.1f} ms '
                 f'(Date.now() has 1 ms steps)')
    return lines


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--bridge', required=True, help='path of switcher-bridge')
    p.add_argument('--sim', required=True, help='path of switcher-sim')
    p.add_argument('--console', help='path of switcher-console: measured as well, offscreen')
    p.add_argument('--bursts', type=int, default=100, help='bursts with the pages open, and with none (twice)')
    p.add_argument('--one-bursts', type=int, default=30, help='bursts with one page open')
    p.add_argument('--loads', type=int, default=15)
    p.add_argument('--taps', type=int, default=40)
    p.add_argument('--pages', type=int, default=16)
    a = p.parse_args()

    profile = tempfile.mkdtemp(prefix='bench-page-browser-')
    d = browser(profile)
    probed = set()
    try:
        runs = [('switcher-bridge', a.bridge)] + ([('switcher-console', a.console)] if a.console else [])
        for kind, exe in runs:
            print(f'== {kind} ...', file=sys.stderr, flush=True)
            print('\n'.join(report(kind, bench(kind, exe, a.sim, a, d, probed), a.pages)), flush=True)
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == '__main__':
    main()
