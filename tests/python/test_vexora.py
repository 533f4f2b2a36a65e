"""The component's objects driven from Python through IDispatch."""

import logging
import os
import threading
import xml.etree.ElementTree as ElementTree

import pytest

import vexora
from conftest import COMPLETE_REPORT, CONFIGURATION, DEADLINE, SCAN_ONLY, ScanCallbacks


def start_scan(scan, callbacks):
    assert scan.Register(callbacks) == 0
    assert scan.SetConfig(CONFIGURATION) == 0
    assert scan.Scan(SCAN_ONLY) == 0


def test_a_scan_reports_progress_completion_and_a_report(scan):
    callbacks = ScanCallbacks()
    start_scan(scan, callbacks)
    assert vexora.wait(callbacks, DEADLINE)
    assert callbacks.result == (SCAN_ONLY, 0)
    assert callbacks.percentages and callbacks.percentages[-1] == 100
    assert callbacks.percentages == sorted(callbacks.percentages)
    report = ElementTree.fromstring(scan.GetReport(COMPLETE_REPORT))
    assert len(list(report.iter())) > 1


def test_cancel_from_inside_progress_ends_the_scan_cancelled(scan):
    class Cancelling(ScanCallbacks):
        def Progress(self, operation, name, status, percent):
            super().Progress(operation, name, status, percent)
            if len(self.percentages) == 1:
                scan.Cancel()

    callbacks = Cancelling()
    start_scan(scan, callbacks)
    assert vexora.wait(callbacks, DEADLINE)
    assert callbacks.result == (SCAN_ONLY, 1)


def test_a_callback_that_raises_leaves_the_scan_running(scan, caplog):
    class Raising(ScanCallbacks):
        def Progress(self, operation, name, status, percent):
            super().Progress(operation, name, status, percent)
            raise RuntimeError("a script's mistake")

    callbacks = Raising()
    with caplog.at_level(logging.ERROR, logger="vexora"):
        start_scan(scan, callbacks)
        assert vexora.wait(callbacks, DEADLINE)
    assert callbacks.result == (SCAN_ONLY, 0)
    assert len(callbacks.percentages) > 1
    assert any("callback Progress raised" in record.getMessage() for record in caplog.records)


@pytest.mark.parametrize(
    "call, code",
    [
        (lambda scan: scan.NoSuchMember(), vexora.DISP_E_UNKNOWNNAME),
        (lambda scan: scan.Scan("not a number"), vexora.DISP_E_TYPEMISMATCH),
        (lambda scan: scan.Scan(1.5), vexora.DISP_E_TYPEMISMATCH),
        (lambda scan: scan.Scan(2**40), vexora.DISP_E_OVERFLOW),
        (lambda scan: scan.Scan(), vexora.DISP_E_BADPARAMCOUNT),
    ],
)
def test_failed_calls_raise_with_their_code_and_member(scan, call, code):
    with pytest.raises(vexora.AutomationError) as raised:
        call(scan)
    assert raised.value.hresult == code
    assert raised.value.member in ("NoSuchMember", "Scan")


@pytest.mark.parametrize(
    "name, code",
    [
        ("Ovrascan.NoSuchClass", vexora.CO_E_CLASSSTRING),
        ("{11111111-2222-3333-4444-555555555555}", vexora.REGDB_E_CLASSNOTREG),
    ],
)
def test_creating_an_unknown_class_fails_clearly(name, code):
    with pytest.raises(vexora.AutomationError) as raised:
        vexora.Dispatch(name)
    assert raised.value.hresult == code
    assert raised.value.member == name
    assert name in str(raised.value)


def test_both_classes_by_progid_and_clsid():
    by_clsid = vexora.Dispatch("{7E80D70A-FA51-4790-A1C7-767C6EA14B89}")
    assert isinstance(by_clsid.GetVersion(0), str)
    by_clsid.release()
    suspicious = vexora.Dispatch("Ovrascan.VxSuspiciousScan")
    assert suspicious.Configure(5) == 87
    assert suspicious.Configure("no-extension") == 1359
    assert suspicious.GetReport() == ""
    assert suspicious.Abort() == 0
    suspicious.release()


def resident_kib():
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_creating_and_releasing_many_objects_leaks_nothing():
    def churn(count):
        for _ in range(count):
            obj = vexora.Dispatch("Ovrascan.CoCVxVirusScan")
            obj.GetCleanSessionCount()
            del obj

    churn(100)
    before = resident_kib()
    churn(1000)
    assert vexora.server_can_unload_now()
    assert resident_kib() - before < 16 * 1024


def test_four_threads_scan_at_once_with_their_own_objects():
    # The component keeps one script callback per process: the last Register of
    # any object hears every object's events. So each thread registers its own
    # callbacks, and the four completions are counted wherever they arrive.
    completed = threading.Condition()
    completions = []

    class Counting(ScanCallbacks):
        def OnComplete(self, *result):
            with completed:
                completions.append(result)
                completed.notify_all()

    failures = []
    registered = threading.Barrier(4)

    def scan_once():
        try:
            scan = vexora.Dispatch("Ovrascan.CoCVxVirusScan")
            assert scan.Register(Counting()) == 0
            registered.wait(DEADLINE)
            assert scan.SetConfig(CONFIGURATION) == 0
            assert scan.Scan(SCAN_ONLY) == 0
            with completed:
                if not completed.wait_for(lambda: len(completions) == 4, DEADLINE):
                    failures.append(list(completions))
            scan.Uninitialize(True)
            scan.release()
        except Exception as error:  # reported below, in the test's thread
            failures.append(error)

    threads = [threading.Thread(target=scan_once) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE * 2)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    assert completions == [(SCAN_ONLY, 0)] * 4
    assert vexora.server_can_unload_now()
