#!/usr/bin/python3
"""The web page in a real browser (headless Chromium driven by chromedriver).

Either starts switcher-bridge over the simulator on a pseudo-terminal, with a preset, and
stops the simulator to take the link away:
    browser_test.py --bridge build/bridge/switcher-bridge --sim build/sim/switcher-sim
or points at a running server:
    browser_test.py --url http://127.0.0.1:8080/ --down 'pkill -TERM -f "switcher-sim --pty"'
or starts the simulated page itself and stops its link through its stdin:
    browser_test.py --demo build/tests/web/web-demo

Loads the page, reads the tiles, sees the bridge's name (looking like markup) in the title and
header, routes an output by clicking and waits for the switcher's report, protects an output and
sees it from a second page (refused there, gone when the first is reloaded), runs a preset,
renames an output to a name that looks like markup, saves screenshots of a phone-sized and a
desktop-sized viewport, and (with --down or --demo) sees the link-down banner. Exits non-zero
with one line per failed check. Debian: chromium chromium-driver python3-selenium.
"""

import argparse
import os
import signal
import socket
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

HOSTILE = '<img src=x onerror=alert(1)>'
NAME = 'Main <b>x</b>'  # the bridge's name, looking like markup
PHONE = (375, 800)
DESKTOP = (1280, 800)


def browser(profile):
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', '--no-first-run',
              '--disable-dev-shm-usage', f'--user-data-dir={profile}'):
        o.add_argument(a)
    service = Service(shutil.which('chromedriver') or '/usr/bin/chromedriver')
    return webdriver.Chrome(service=service, options=o)


def viewport(d, w, h):
    # The window's outer size differs from the page's; set the page's exactly.
    d.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                      {'width': w, 'height': h, 'deviceScaleFactor': 1, 'mobile': w < 600})


def text(d, css):
    return d.execute_script('const e = document.querySelector(arguments[0]); return e ? e.textContent : null;', css)


def tile_src(d, o):
    return text(d, f'.tile[data-output="{o}"] .src')


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def start_bridge(bridge, sim, outputs):
    """The simulator on a pty and switcher-bridge serving the page; returns (url, processes)."""
    sim_p = subprocess.Popen([sim, '--pty', '--quiet', '--outputs', str(outputs)], stdout=subprocess.PIPE, text=True)
    kind, pty = sim_p.stdout.readline().split()
    if kind != 'PTY':
        sys.exit('switcher-sim did not start')
    folder = tempfile.mkdtemp(prefix='web-bridge-')
    port = free_port()
    with open(os.path.join(folder, 'Switcher.ini'), 'w') as f:
        f.write(f'[Bridge]\nName={NAME}\nLink={pty}\nCodeFile={folder}/show.cgf\n[Web]\nPort={port}\n')
    with open(os.path.join(folder, 'show.cgf'), 'w') as f:
        f.write('<CodeTree User="Vantrel" Description="CodeTree">\r\n'
                '<0 Type="2" User="Show" Description="All from 1"/>\r\n'
                '<1 Type="3" User="Show" Description="1 to all" Code="1All."/>\r\n</CodeTree>\r\n')
    env = dict(os.environ, SWITCHER_CONFIG_DIR=folder, SWITCHER_LOG_DIR=os.path.join(folder, 'log'))
    bridge_p = subprocess.Popen([bridge], env=env, stderr=subprocess.PIPE, text=True)
    said = []
    for line in bridge_p.stderr:
        if 'identified' in line:
            break
        said.append(line)
    else:
        # The simulator holds the test's output open: ended here, not left behind.
        sim_p.kill()
        sys.exit('switcher-bridge did not identify the simulator:\n' + ''.join(said[-5:]))
    return f'http://127.0.0.1:{port}/', (sim_p, bridge_p)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--url', help='the page of a running server')
    p.add_argument('--demo', help='path of web-demo: start it and drive its link')
    p.add_argument('--bridge', help='path of switcher-bridge: start it over the simulator (--sim)')
    p.add_argument('--sim', help='path of switcher-sim, with --bridge')
    p.add_argument('--outputs', type=int, default=256, help='the simulator\'s outputs, with --bridge')
    p.add_argument('--down', help='shell command that takes the switcher away (with --url)')
    p.add_argument('--out', default='web-screenshots', help='folder for the screenshots')
    p.add_argument('--timeout', type=float, default=10.0)
    a = p.parse_args()
    if not a.url and not a.demo and not (a.bridge and a.sim):
        p.error('give --url, --demo or --bridge with --sim')

    demo = None
    url = a.url
    if a.demo:
        demo = subprocess.Popen([a.demo, '--inputs', '32', '--outputs', '32', '--name', NAME], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        first = demo.stdout.readline().split()
        if len(first) != 2 or first[0] != 'listening':
            sys.exit('web-demo did not start')
        url = first[1]

    served = ()
    if a.bridge:
        url, served = start_bridge(a.bridge, a.sim, a.outputs)
        a.down = f'kill {served[0].pid}'
    live = bool(a.demo or a.bridge)

    failures = []

    def check(ok, what):
        print(('ok   ' if ok else 'FAIL ') + what)
        if not ok:
            failures.append(what)

    os.makedirs(a.out, exist_ok=True)
    profile = tempfile.mkdtemp(prefix='web-browser-test-')
    d = browser(profile)
    wait = WebDriverWait(d, a.timeout, poll_frequency=0.02)
    try:
        viewport(d, *PHONE)
        started = time.monotonic()
        d.get(url)
        wait.until(lambda d: d.execute_script(
            'return !document.body.classList.contains("offline") && document.querySelectorAll(".tile").length > 0'))
        tiles = len(d.find_elements(By.CSS_SELECTOR, '.tile'))
        print(f'     page load to a filled grid of {tiles} tiles: {1000 * (time.monotonic() - started):.0f} ms')
        check(tiles > 0 and tile_src(d, 1) not in (None, '?'), 'tiles show the reported routes')
        check(d.find_element(By.ID, 'grid').get_attribute('role') == 'grid', 'the outputs are a grid')
        if live:
            check(d.title == f'{NAME} \u00b7 Switcher' and text(d, 'h1 .name') == NAME
                  and not d.find_elements(By.CSS_SELECTOR, 'h1 b'), f'the title and header name the bridge, as text ({d.title})')
        d.save_screenshot(os.path.join(a.out, 'phone-start.png'))

        # Route output 3 from input 5: the tile changes on the switcher's report.
        before = tile_src(d, 3)
        d.find_element(By.CSS_SELECTOR, '.tile[data-output="3"]').click()
        wait.until(lambda d: d.find_element(By.ID, 'panel').is_displayed())
        target = '5' if before != '5' else '6'
        started = time.monotonic()
        d.find_element(By.CSS_SELECTOR, f'.pick[data-input="{target}"]').click()
        try:
            wait.until(lambda d: tile_src(d, 3) == target)
            print(f'     route clicked until the tile showed the report: {1000 * (time.monotonic() - started):.1f} ms')
            check(True, 'a clicked route shows once reported')
        except Exception:
            check(False, 'a clicked route shows once reported')
        d.save_screenshot(os.path.join(a.out, 'phone-panel.png'))

        # Audio alone from another input: the tile keeps its video and marks the audio.
        other = '7' if target != '7' else '8'
        d.execute_script('document.querySelector(\'input[name="signal"][value="A"]\').click()')
        d.find_element(By.CSS_SELECTOR, f'.pick[data-input="{other}"]').click()
        try:
            wait.until(lambda d: (text(d, '.tile[data-output="3"] .aud') or '').startswith(f'Audio {other}'))
            check(tile_src(d, 3) == target, 'audio routed alone leaves the video shown')
        except Exception:
            check(False, 'audio routed alone shows as the audio')
        d.execute_script('document.querySelector(\'input[name="signal"][value="B"]\').click()')

        # Rename output 3 in place to a name that looks like markup: shown as those characters.
        d.find_element(By.ID, 'rename-output').click()
        field = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '#rename-output-box input'))
        field.clear()
        field.send_keys(HOSTILE + Keys.ENTER)
        try:
            wait.until(lambda d: text(d, '.tile[data-output="3"] .out-name') == HOSTILE)
            check(True, 'a renamed output shows its new name')
        except Exception:
            check(False, 'a renamed output shows its new name')
        check(not d.find_elements(By.CSS_SELECTOR, '.tile img, #panel img'), 'a name is text, never markup')
        d.find_element(By.ID, 'panel-close').click()

        # Protect output 5: a padlock and "You" on its tile; another page sees the holder, and
        # its route to the output is refused naming it; a reload of the holder's page ends it.
        check(not d.find_elements(By.CSS_SELECTOR, '.tile.protected'), 'no tile is marked before a protect')
        d.find_element(By.CSS_SELECTOR, '.tile[data-output="5"]').click()
        d.find_element(By.ID, 'protect').click()
        try:
            wait.until(lambda d: text(d, '.tile[data-output="5"] .lock .holder') == 'You')
            check(d.find_element(By.CSS_SELECTOR, '.tile[data-output="5"] .lock svg').is_displayed(),
                  'a protected tile shows its padlock')
            check(d.find_element(By.ID, 'protect').text == 'Release', 'the holder is offered Release')
        except Exception:
            check(False, 'a protect shows on its tile as yours')
        d.save_screenshot(os.path.join(a.out, 'phone-protect.png'))
        d.find_element(By.ID, 'panel-close').click()
        first = d.current_window_handle
        d.switch_to.new_window('tab')
        viewport(d, *DESKTOP)
        d.get(url)
        wait.until(lambda d: d.execute_script(
            'return !document.body.classList.contains("offline") && document.querySelectorAll(".tile").length > 0'))
        holder = text(d, '.tile[data-output="5"] .lock .holder') or ''
        check(holder.startswith('web page 127.0.0.1:'), f'another page names the holder ({holder})')
        d.find_element(By.CSS_SELECTOR, '.tile[data-output="5"]').click()
        check(not d.find_element(By.ID, 'protect').is_enabled(), 'another page cannot take it')
        before5 = tile_src(d, 5)
        pick = '9' if before5 != '9' else '10'
        d.find_element(By.CSS_SELECTOR, f'.pick[data-input="{pick}"]').click()
        try:
            wait.until(lambda d: 'is protected by web page' in d.find_element(By.ID, 'messages').text)
            check(tile_src(d, 5) == before5, 'a route to a protected output is refused, naming the holder')
        except Exception:
            check(False, 'a route to a protected output is refused, naming the holder')
        time.sleep(0.3)  # only for the picture
        d.save_screenshot(os.path.join(a.out, 'desktop-protect.png'))
        second = d.current_window_handle
        d.switch_to.window(first)
        d.refresh()
        d.switch_to.window(second)
        try:
            wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, '.tile.protected'))
            check(True, 'a reloaded page leaves no protect behind')
        except Exception:
            check(False, 'a reloaded page leaves no protect behind')
        d.close()
        d.switch_to.window(first)
        viewport(d, *PHONE)
        wait.until(lambda d: d.execute_script(
            'return !document.body.classList.contains("offline") && document.querySelectorAll(".tile").length > 0'))

        # A preset: the first button; with the simulator's "All from 1" every tile shows 1.
        presets = d.find_elements(By.CSS_SELECTOR, '#presets button')
        check(bool(presets), 'presets are buttons')
        if presets:
            name = presets[0].text
            presets[0].click()
            if live:
                try:
                    # Outputs the switcher never reported stay unknown.
                    wait.until(lambda d: all(tile_src(d, o) in ('1', '?') for o in range(1, tiles + 1)))
                    check(True, f'preset "{name}" routes every reported output')
                except Exception:
                    check(False, f'preset "{name}" routes every reported output')
        d.save_screenshot(os.path.join(a.out, 'phone.png'))
        viewport(d, *DESKTOP)
        d.find_element(By.CSS_SELECTOR, '.tile[data-output="2"]').click()
        time.sleep(0.3)  # layout settles after the resize; only for the picture
        d.save_screenshot(os.path.join(a.out, 'desktop.png'))

        # The link goes: a banner says so and the routing controls are disabled.
        if a.demo or a.down:
            if demo:
                demo.stdin.write('down simulator stopped\n')
                demo.stdin.flush()
            else:
                subprocess.run(a.down, shell=True, check=False)
            try:
                wait.until(lambda d: d.find_element(By.ID, 'banner').is_displayed())
                check(True, 'the link-down banner shows')
            except Exception:
                check(False, 'the link-down banner shows')
            check(not d.find_element(By.CSS_SELECTOR, '.pick[data-input="1"]').is_enabled(),
                  'routing is disabled while the link is down')
            d.save_screenshot(os.path.join(a.out, 'desktop-link-down.png'))
            viewport(d, *PHONE)
            time.sleep(0.3)
            d.save_screenshot(os.path.join(a.out, 'phone-link-down.png'))

        # The server goes: the page says it reconnects.
        if demo:
            demo.stdin.write('quit\n')
            demo.stdin.flush()
            demo.wait(5)
            try:
                wait.until(lambda d: d.find_element(By.ID, 'connection').is_displayed() and
                           'Reconnecting' in d.find_element(By.ID, 'connection').text)
                check(True, 'the page shows that it reconnects')
            except Exception:
                check(False, 'the page shows that it reconnects')
        logs = d.get_log('browser') if hasattr(d, 'get_log') else []
        errors = [l for l in logs if l.get('level') == 'SEVERE' and 'WebSocket' not in l.get('message', '')
                  and 'Failed to load resource' not in l.get('message', '')]
        check(not errors, 'no script errors' + ('' if not errors else f': {errors}'))
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        if demo and demo.poll() is None:
            demo.kill()
        for proc in reversed(served):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                proc.wait(5)
    print(f'screenshots in {a.out}')
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
