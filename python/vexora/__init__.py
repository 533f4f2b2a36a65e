"""Scripting the Vexora scan component from Python.

    scan = vexora.Dispatch("Ovrascan.CoCVxVirusScan")
    scan.Register(my_callbacks)          # any object with Progress/OnError/OnComplete
    scan.SetConfig(xml)
    scan.Scan(1)

Objects are created through the component's registration (ovrascan register),
and their members are found by name at run time, as a script host finds them.
Callbacks arrive on the component's threads; vexora.wait() or a
threading.Event lets a script wait for them.
"""

import os
import threading

# The component finds its settings and data set in the folder of its host's
# program; for an interpreter that is the folder this package was installed in.
os.environ.setdefault("VX_HOST_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from . import _vexora  # noqa: E402
from ._errors import AutomationError  # noqa: E402

DISP_E_UNKNOWNNAME = _vexora.DISP_E_UNKNOWNNAME
DISP_E_TYPEMISMATCH = _vexora.DISP_E_TYPEMISMATCH
DISP_E_BADPARAMCOUNT = _vexora.DISP_E_BADPARAMCOUNT
DISP_E_OVERFLOW = _vexora.DISP_E_OVERFLOW
CO_E_CLASSSTRING = _vexora.CO_E_CLASSSTRING
REGDB_E_CLASSNOTREG = _vexora.REGDB_E_CLASSNOTREG
E_ACCESSDENIED = _vexora.E_ACCESSDENIED

__all__ = ["Dispatch", "AutomationError", "wait", "Completion", "server_can_unload_now"]


class _Method:
    __slots__ = ("_native", "_name")

    def __init__(self, native, name):
        self._native = native
        self._name = name

    def __call__(self, *arguments):
        return _wrap(self._native.invoke(self._name, *[_unwrap(a) for a in arguments]))

    def __repr__(self):
        return f"<automation member {self._name}>"


class Dispatch:
    """An automation object, created by ProgID or CLSID ("{...}")."""

    __slots__ = ("_native",)

    def __init__(self, name_or_native):
        if isinstance(name_or_native, _vexora.DispatchObject):
            native = name_or_native
        else:
            native = _vexora.create(name_or_native)
        object.__setattr__(self, "_native", native)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return _Method(self._native, name)

    def release(self):
        """Give the object back now rather than when Python collects it."""
        self._native.release()

    def __eq__(self, other):
        return isinstance(other, Dispatch) and self._native.identity() == other._native.identity() != 0

    def __hash__(self):
        return hash(self._native.identity())

    def __repr__(self):
        return "<vexora.Dispatch>"


def _wrap(value):
    return Dispatch(value) if isinstance(value, _vexora.DispatchObject) else value


def _unwrap(value):
    return value._native if isinstance(value, Dispatch) else value


def server_can_unload_now(name="Ovrascan.CoCVxVirusScan"):
    """True when nothing of the server registered for the class is alive."""
    return _vexora.server_can_unload_now(name) == 0


class Completion:
    """A callback object that records OnComplete (or OnScanComplete and
    OnUploadComplete) and lets a script wait for it; subclass it to hear Progress
    and OnError as well."""

    def __init__(self):
        self._done = threading.Event()
        self.result = None

    def _finish(self, *result):
        self.result = result if len(result) != 1 else result[0]
        self._done.set()

    def OnComplete(self, *result):
        self._finish(*result)

    def OnScanComplete(self, code):
        self._finish(code)

    def OnUploadComplete(self, code):
        self._finish(code)

    def wait(self, timeout=None):
        return self._done.wait(timeout)

    def reset(self):
        self._done.clear()
        self.result = None


def wait(callbacks, timeout=None):
    """Wait until a Completion (or any object with wait(timeout)) has heard the
    end of the operation; True when it has, False on time-out."""
    return callbacks.wait(timeout)
