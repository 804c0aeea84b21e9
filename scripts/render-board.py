#!/usr/bin/python3
"""Draws the README's picture of the station board: a station on eight
slots in several states (success, flashing, failed with its reason,
cancelled, waiting for the boot loader, misconfigured, waiting), in
headless Chromium at 1280 x 720, the way the board's browser test drives it.

usage: scripts/render-board.py --cli build/cli/qivo-dfu-cli --sim build/sim/qivo-device-sim docs/board.png
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'board'))
from board_browser_test import (Device, Station, browser, free_port, log, make_image,  # noqa: E402
                                missing_browser, tiles, wait_for)


def render(args, work, target):
    image = os.path.join(work, 'fw-2.4.0.bin')
    make_image(image, 256 * 1024)
    by_path = os.path.join(work, 'by-path')
    os.makedirs(by_path)
    slot = lambda n: os.path.join(by_path, 'pci-0000:00:14.0-usb-0:1.%d:1.0-port0' % n)
    os.makedirs(slot(7))   # a folder: misconfigured
    slots = [slot(n) for n in range(1, 9)]
    port = free_port()
    devices = []
    station = driver = None
    try:
        station = Station(args.cli, port, slots, image, work)
        # A few units through first, so that the header has figures.
        for _ in range(2):
            passing = [Device(args.sim, slot(n), '--once', '--boot-ms', '100') for n in (4, 8)]
            for d in passing:
                d.process.wait(60)
                d.stop()
        devices.append(Device(args.sim, slot(1)))                                  # success
        devices.append(Device(args.sim, slot(2), '--pace', '--boot-ms', '200'))    # flashing
        devices.append(Device(args.sim, slot(3), '--nak-after', '1'))              # failed
        devices.append(Device(args.sim, slot(5), '--cancel-after', '2'))           # cancelled
        driver = browser(1280, 720)
        driver.get('http://127.0.0.1:%d/' % port)
        want = {slot(1): 'success', slot(3): 'failed', slot(4): 'waiting', slot(5): 'cancelled',
                slot(7): 'misconfigured', slot(8): 'waiting'}
        wait_for('the states for the picture',
                 lambda: all(tiles(driver)[s]['state'] == w for s, w in want.items()), 90, 0.2)
        devices.append(Device(args.sim, slot(6), '--boot-ms', '600000'))          # waiting for the boot loader
        wait_for('a unit well into flashing', lambda: tiles(driver)[slot(2)]['state'] == 'flashing'
                 and int(tiles(driver)[slot(2)]['text'].split()[1]) >= 40, 60, 0.1)
        wait_for('a unit waiting for its boot loader', lambda: tiles(driver)[slot(6)]['state'] == 'booting', 15, 0.1)
        time.sleep(1.2)
        driver.save_screenshot(target)
        log('saved %s (%d bytes)' % (target, os.path.getsize(target)))
        return 0
    finally:
        for d in devices:
            d.stop()
        if driver:
            driver.quit()
        if station:
            station.stop()



def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--cli', required=True, help='qivo-dfu-cli')
    parser.add_argument('--sim', required=True, help='qivo-device-sim')
    parser.add_argument('picture', help='the PNG to write')
    args = parser.parse_args()
    args.cli, args.sim = os.path.abspath(args.cli), os.path.abspath(args.sim)
    why = missing_browser()
    if why:
        log(why)
        return 1
    work = tempfile.mkdtemp(prefix='board-picture-')
    try:
        return render(args, work, os.path.abspath(args.picture))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
