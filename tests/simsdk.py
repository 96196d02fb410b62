"""The substitute SDK's control interface, reached through ctypes on the library the
module has already loaded: reset, the call journal, forced statuses, scripted outputs."""

import ctypes
import os
from dataclasses import dataclass

import asi


@dataclass(frozen=True)
class Call:
    """One journaled SDK call: the function's name and its arguments by name.

    Integers are ints, pointers the strings "ptr" or "null", byte strings bytes."""

    name: str
    args: dict

    def __getitem__(self, key):
        return self.args[key]


def _parse_value(text):
    if text.startswith("hex:"):
        return bytes.fromhex(text[4:])
    if text in ("ptr", "null"):
        return text
    return int(text)


def parse_journal(text):
    calls = []
    for line in text.splitlines():
        if not line:
            continue
        name, *fields = line.split("\t")
        args = {}
        for field in fields:
            key, _, value = field.partition("=")
            args[key] = _parse_value(value)
        calls.append(Call(name, args))
    return calls


class Simulator:
    def __init__(self):
        path = os.path.join(os.path.dirname(asi.__file__), "libASICamera2.so")
        lib = ctypes.CDLL(path)
        lib.asisim_journal_read.restype = ctypes.c_size_t
        lib.asisim_journal_read.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.asisim_force_status.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        lib.asisim_script_output.argtypes = [
            ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
        lib.asisim_set_sdk_version.argtypes = [ctypes.c_char_p, ctypes.c_long]
        lib.asisim_set_camera_info.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
        lib.asisim_load_config.argtypes = [ctypes.c_char_p]
        lib.asisim_last_error.restype = ctypes.c_char_p
        self.lib = lib

    def reset(self):
        self.lib.asisim_reset()

    def journal_on(self, on=True):
        self.lib.asisim_journal_enable(1 if on else 0)

    def calls(self, name=None):
        """The journal so far, optionally only the calls of one SDK function."""
        size = self.lib.asisim_journal_read(None, 0)
        buffer = ctypes.create_string_buffer(size)
        self.lib.asisim_journal_read(buffer, size)
        calls = parse_journal(buffer.value.decode())
        return [c for c in calls if name is None or c.name == name]

    def clear(self):
        self.lib.asisim_journal_clear()

    def force(self, function, value, times=1):
        """Make `function` return `value` (once by default, -1: always, 0: cancel)."""
        if self.lib.asisim_force_status(function.encode(), value, times) != 0:
            raise ValueError(f"not an SDK function: {function}")

    def script(self, function, output, data):
        """Every later call of `function` writes `data` over its output number `output`."""
        data = bytes(data)
        if self.lib.asisim_script_output(function.encode(), output, data, len(data)) != 0:
            raise ValueError(f"no output {output} of {function}")

    def set_version(self, data):
        """The bytes ASIGetSDKVersion hands back; None for a null pointer."""
        if data is None:
            self.lib.asisim_set_sdk_version(None, -1)
        else:
            self.lib.asisim_set_sdk_version(data, len(data))

    def set_camera_info(self, index, data):
        data = bytes(data)
        if self.lib.asisim_set_camera_info(index, data, len(data)) != 0:
            raise ValueError(f"no camera at index {index}")

    def fast_frames(self, on=True):
        self.lib.asisim_set_fast_frames(1 if on else 0)

    def load_config(self, path):
        if self.lib.asisim_load_config(None if path is None else os.fsencode(path)) != 0:
            raise ValueError(self.lib.asisim_last_error().decode())
