#!/usr/bin/env python3
"""A host session with HalvorineInputHelper, for host developers to copy.

    python3 examples/host_session.py PATH_TO_HalvorineInputHelper OUT.jpg

With DISPLAY set, it asks whether input may be injected, starts the helper in stream mode, moves
the pointer to the middle of a monitor, types a text, captures that monitor twice with
suppressUnchanged, and saves the last JPEG the helper delivered as OUT.jpg. Exit status 0 after
writing the JPEG, 1 on any failure (the reason is printed on standard error).

The answer rules it follows (HalvorineInputHelper(1) has them all):
  - every answer is one JSON line; a line is complete only with its line feed, and a last line
    without one (left by a helper that gave up on a stalled reader) is dropped;
  - every answer carries "ok"; a failure carries "reason";
  - the next request is written only after the answer to the previous one has been read;
  - the helper ends with status 0 when its input is closed, and with status 4 when it could not
    deliver an answer; the host stops then;
  - the host keeps time-outs of its own: a capture may take up to 10 seconds inside the helper,
    and text_input takes at least 40 ms per character.

Python 3 standard library only; xrandr and xlsatoms (x11-xserver-utils, x11-utils) are used, when
installed, to find a monitor's displayId.
"""

import base64
import json
import os
import re
import select
import subprocess
import sys
import time

TEXT = "hello from the host"


class HelperError(Exception):
    """The session cannot go on; the message says why."""


class StreamHelper:
    """HalvorineInputHelper in stream mode: one request line out, one answer line back."""

    def __init__(self, program):
        self.process = subprocess.Popen(
            [program, "--stream"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.buffer = b""

    def request(self, command, timeout):
        line = json.dumps(command, separators=(",", ":")).encode() + b"\n"
        try:
            self.process.stdin.write(line)
            self.process.stdin.flush()
        except BrokenPipeError:
            raise HelperError(self.ended("while a request was written"))
        answer = json.loads(self.read_line(timeout))
        print("%s -> %s" % (command["type"], summary(answer)))
        return answer

    def read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.process.kill()
                self.process.wait()
                raise HelperError("no answer within %g seconds" % timeout)
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                # End of output: whatever is buffered is an unfinished line and is dropped.
                raise HelperError(self.ended("before answering"))
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line

    def ended(self, when):
        status = self.process.wait(timeout=10)
        if status == 4:
            return "the helper could not deliver an answer and stopped (status 4) " + when
        return "the helper ended with status %d %s" % (status, when)

    def close(self, timeout=10):
        """Ends the stream: closing standard input ends the helper with status 0."""
        self.process.stdin.close()
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise HelperError("the helper did not end after its input was closed")


def summary(answer):
    """The answer as one line, with the image's Base64 shortened."""
    shown = dict(answer)
    if "frameBase64" in shown:
        shown["frameBase64"] = "<%d characters>" % len(shown["frameBase64"])
    return json.dumps(shown, sort_keys=True, separators=(",", ":"))


def permission_status(program):
    """One-shot permission status mode: one line, status 0 whether trusted or not."""
    try:
        done = subprocess.run([program, "--permission-status"], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=15)
    except subprocess.TimeoutExpired:
        raise HelperError("no permission status within 15 seconds")
    if done.returncode != 0 or not done.stdout.endswith(b"\n"):
        raise HelperError("permission status failed (status %d)" % done.returncode)
    answer = json.loads(done.stdout)
    print("permission status -> %s" % summary(answer))
    return answer.get("trusted") is True


def monitors():
    """The active RandR monitors as (name, is_primary) from xrandr --listmonitors.

    A line reads like " 1: +*DP-1 1920/527x1080/296+1920+0  DP-1": the flags "+" (active) and "*"
    (primary), the name, the geometry.
    """
    try:
        listed = subprocess.run(["xrandr", "--listmonitors"], capture_output=True, text=True,
                                timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return []
    found = []
    for line in listed.stdout.splitlines():
        match = re.match(r"\s*\d+:\s+([+*]*)(\S+)\s+\d+/\d+x\d+/\d+[+-]\d+[+-]\d+", line)
        if match:
            found.append((match.group(2), "*" in match.group(1)))
    return found


def atom(name):
    """The X atom of a name (what displayId carries), from xlsatoms: "314\tDP-1"."""
    try:
        listed = subprocess.run(["xlsatoms", "-name", name], capture_output=True, text=True,
                                timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    for line in listed.stdout.splitlines():
        number, _, atom_name = line.partition("\t")
        if atom_name == name and number.isdigit():
            return int(number)
    return None


def choose_display():
    """The displayId of a monitor other than the primary one when there is one, else of the only
    monitor; None (the helper's main display) when it cannot be found out."""
    listed = monitors()
    others = [name for name, primary in listed if not primary]
    name = others[0] if len(listed) > 1 and others else (listed[0][0] if listed else None)
    display_id = atom(name) if name else None
    print("monitors %s; using %s (displayId %s)" % ([n for n, _ in listed], name, display_id))
    return display_id


def expect_ok(answer):
    if answer.get("ok") is not True:
        raise HelperError("%s failed: %s" % (answer.get("type"), answer.get("reason")))
    return answer


def session(program, out_path):
    if not os.environ.get("DISPLAY"):
        raise HelperError("DISPLAY is not set")
    if not permission_status(program):
        raise HelperError("input cannot be injected on %s (no X server or no XTEST)"
                          % os.environ["DISPLAY"])
    display_id = choose_display()
    on_display = {} if display_id is None else {"displayId": display_id}

    helper = StreamHelper(program)
    try:
        jpeg = stream_session(helper, on_display)
    except BaseException:
        helper.process.kill()
        helper.process.wait()
        raise
    status = helper.close()
    if status != 0:
        raise HelperError("the helper ended with status %d" % status)
    if jpeg is None or not jpeg.startswith(b"\xff\xd8"):
        raise HelperError("no JPEG was delivered")
    with open(out_path, "wb") as out:
        out.write(jpeg)
    print("saved %d bytes to %s" % (len(jpeg), out_path))


def stream_session(helper, on_display):
    """Pointer, text and two captures; returns the last JPEG delivered."""
    expect_ok(helper.request(dict(type="mouse_move", x=0.5, y=0.5, coordinateSpace="normalized",
                                  **on_display), timeout=5))
    expect_ok(helper.request(dict(type="text_input", text=TEXT), timeout=5 + 0.1 * len(TEXT)))
    jpeg = None
    for _ in range(2):
        frame = expect_ok(helper.request(dict(type="capture_frame", maxWidth=1280, jpegQuality=80,
                                              suppressUnchanged=True, **on_display), timeout=15))
        # An unchanged frame comes without its image: the last delivered one still stands.
        if "frameBase64" in frame:
            jpeg = base64.b64decode(frame["frameBase64"], validate=True)
    return jpeg

def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: %s PATH_TO_HalvorineInputHelper OUT.jpg\n" % argv[0])
        return 2
    try:
        session(argv[1], argv[2])
    except (HelperError, OSError, ValueError) as error:
        sys.stderr.write("host_session: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
