#!/usr/bin/env python3
"""examples/host_session.py run as a host developer would, on a private Xvfb with two monitors.

    host_example_test.py EXAMPLE HELPER

The example must pick the monitor that is not the primary one by its displayId: the pointer lands
in that monitor's middle, and the saved JPEG has that monitor's size.
"""

import os
import subprocess
import sys
import tempfile


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
         "-screen", "0", "1280x800x24"],
        pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()
    if not number:
        server.kill()
        raise SystemExit("Xvfb did not start")
    return server, ":" + number


def jpeg_size(data):
    """(width, height) from the first start-of-frame marker."""
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            raise ValueError("not a JPEG marker at %d" % i)
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return (int.from_bytes(data[i + 7:i + 9], "big"),
                    int.from_bytes(data[i + 5:i + 7], "big"))
        i += 2 + length
    raise ValueError("no start of frame")


def main(example, helper):
    server, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    # The helper acts on this private server, not on a Wayland session around the test run.
    for name in ("WAYLAND_DISPLAY", "WAYLAND_SOCKET", "HALVORINE_BACKEND"):
        env.pop(name, None)
    try:
        for monitor in (["*left", "640/1x800/1+0+0"], ["right", "640/1x800/1+640+0"]):
            subprocess.run(["xrandr", "--setmonitor"] + monitor + ["none"], env=env, check=True,
                           timeout=10)
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "frame.jpg")
            run = subprocess.run([sys.executable, example, helper, out], env=env,
                                 capture_output=True, text=True, timeout=120)
            sys.stdout.write(run.stdout)
            sys.stderr.write(run.stderr)
            failures = []
            if run.returncode != 0:
                failures.append("the example exited with status %d" % run.returncode)
            if '"type":"mouse_move","x":960,"y":400' not in run.stdout:
                failures.append("the pointer was not moved to the middle of the right monitor")
            if not failures:
                with open(out, "rb") as f:
                    data = f.read()
                if not (data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")):
                    failures.append("the saved file is not a whole JPEG")
                elif jpeg_size(data) != (640, 800):
                    failures.append("the frame is %dx%d, not the right monitor's 640x800"
                                    % jpeg_size(data))
    finally:
        server.terminate()
        server.wait(timeout=10)
    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
