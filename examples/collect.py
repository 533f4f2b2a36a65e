#!/usr/bin/env python3
"""Gather suspicious files of this machine with the collector tool, as
`ovrascan collect` does, and list them; `--upload` also sends the archive.
Run as root with the component registered and PYTHONPATH naming the folder
that holds `vexora`."""

import sys
import threading
import xml.etree.ElementTree as ElementTree

import vexora


class Callbacks:
    def __init__(self):
        self.done = threading.Event()
        self.code = None

    def _finish(self, code):
        self.code = code
        self.done.set()

    def OnScanComplete(self, code):
        self._finish(code)

    def OnUploadComplete(self, code):
        self._finish(code)


def run(step, callbacks):
    callbacks.done.clear()
    if (status := step()) != 0:
        sys.exit(f"the request failed with status {status}")
    callbacks.done.wait()
    return callbacks.code


collector = vexora.Dispatch("Ovrascan.VxSuspiciousScan")
callbacks = Callbacks()
collector.RegisterCallback(callbacks)
print("Collector", collector.GetVersion())
if (code := run(collector.Scan, callbacks)) != 0:
    sys.exit(f"the collector ended with code {code}")

report = ElementTree.fromstring(collector.GetReport())
for file in report:
    print(f"{file.get('reason')}: {file.get('path')} ({file.get('size')} bytes)")
print("Archive:", report.get("archive"))
if "--upload" in sys.argv[1:]:
    print("Upload:", "done" if run(collector.UploadReport, callbacks) == 0 else f"failed ({callbacks.code})")
collector.CleanSession()
collector.Abort()
