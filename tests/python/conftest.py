"""Fixtures: a machine folder of the tests' own with the component registered
in it, and scan callbacks that record what the component tells them."""

import os
import subprocess
import tempfile
import threading

import pytest

BIN = os.environ["VX_TEST_BIN_DIR"]
# Before vexora is imported: the registry is looked up in this folder.
_MACHINE = tempfile.mkdtemp(prefix="vexora-machine-")
os.environ["VX_MACHINE_DIR"] = _MACHINE

import vexora  # noqa: E402

# Every module of every process, test files only: quick and finds nothing here.
CONFIGURATION = (
    '<scanconfig><maxscancount value="65535"/><scantype><item type="test"/></scantype>'
    '<source><item type="processes"/></source></scanconfig>'
)
SCAN_ONLY = 1
COMPLETE_REPORT = 1
DEADLINE = 120


@pytest.fixture(scope="session", autouse=True)
def registered():
    ovrascan = os.path.join(BIN, "ovrascan")
    subprocess.run([ovrascan, "register"], check=True, capture_output=True)
    yield
    subprocess.run([ovrascan, "unregister"], check=True, capture_output=True)


class ScanCallbacks(vexora.Completion):
    """Progress, OnError and OnComplete as a script defines them."""

    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()
        self.percentages = []
        self.errors = []

    def Progress(self, operation, name, status, percent):
        with self.lock:
            self.percentages.append(percent)

    def OnError(self, code):
        with self.lock:
            self.errors.append(code)


@pytest.fixture
def scan():
    obj = vexora.Dispatch("Ovrascan.CoCVxVirusScan")
    yield obj
    obj.Uninitialize(True)
    obj.release()
