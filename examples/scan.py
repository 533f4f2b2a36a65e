#!/usr/bin/env python3
"""Scan the executable modules of every running process, as `ovrascan scan` does,
and list what was found. Run as root with the component registered
(`ovrascan register`) and PYTHONPATH naming the folder that holds `vexora`."""

import sys
import threading
import xml.etree.ElementTree as ElementTree

import vexora

CONFIGURATION = (
    '<scanconfig><maxscancount value="65535"/>'
    '<scantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></scantype>'
    '<source><item type="processes"/></source></scanconfig>'
)


class Callbacks:
    def __init__(self):
        self.done = threading.Event()
        self.result = None

    def Progress(self, operation, name, status, percent):
        print(f"\r{percent:3d}% {name[-70:]:<70}", end="", flush=True)

    def OnError(self, code):
        print(f"\nerror {code}", file=sys.stderr)

    def OnComplete(self, operation, result):
        self.result = result
        self.done.set()


scan = vexora.Dispatch("Ovrascan.CoCVxVirusScan")
callbacks = Callbacks()
scan.Register(callbacks)
if (status := scan.SetConfig(CONFIGURATION)) != 0:
    sys.exit(f"SetConfig failed with status {status}")
if (status := scan.Scan(1)) != 0:  # 1 scan only, 2 scan and clean
    sys.exit(f"Scan failed with status {status}")
callbacks.done.wait()
print()

detections = ElementTree.fromstring(scan.GetReport(2))  # 2: the detections report
for item in detections.iter("scannedItem"):
    print(f"{item.get('virus_name')}: {item.get('itemName')}")
print(f"{len(detections.findall('scannedItem'))} found" + (" (cancelled)" if callbacks.result == 1 else ""))
scan.Uninitialize(True)
