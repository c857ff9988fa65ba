"""The exceptions of velmora."""


class NetworkError(ValueError):
    """A network that cannot be run; the text is the message of
    `velmora run` for it ("net.json:3:7: error: ..."). Nothing ran."""


class ModuleError(RuntimeError):
    """A module that failed: the text is the module's own message (for
    example "thresh : can not get thresh_value."); `messages` holds every
    text reported, in order."""

    def __init__(self, message, messages=()):
        super().__init__(message)
        self.messages = list(messages)
