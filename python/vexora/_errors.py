"""The error a failed automation call raises."""


class AutomationError(Exception):
    """A call of an automation object failed.

    hresult:     the status code, as an unsigned 32-bit number (0x80020006 ...)
    member:      the member called, or the ProgID/CLSID being created
    description: the object's own explanation, when it gave one
    """

    def __init__(self, hresult, member, description=""):
        self.hresult = hresult
        self.member = member
        self.description = description
        text = f"{member}: HRESULT 0x{hresult:08X}"
        if description:
            text += f" ({description})"
        super().__init__(text)
