#!/usr/bin/python3
"""The window as a screen reader meets it, through the real AT-SPI bus.

Run on a private session bus (dbus-run-session) and an X display (xvfb-run): this script starts
at-spi-bus-launcher, which brings up the accessibility bus and at-spi2-registryd, then starts the
window (tests/window/atspi_window.cpp) with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 and reads its tree
and its events with pyatspi, as Orca does. What Orca does with them is Orca 43's (Debian 12):

- a label is spoken with the label that labels it (labelled-by relation), by its name;
- a notification is spoken whenever it becomes showing (object:state-changed:showing, detail1 1);
  text changes in labels, and name or description changes of anything but the focused object,
  are passed over.

Usage: atspi_test.py WINDOW_PROGRAM [unittest arguments]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

try:
    import pyatspi
    from gi.repository import GLib
except ImportError as missing:
    print(f"{missing}: python3-pyatspi is not installed (scripts/install-deps installs it)")
    sys.exit(77)

PROGRAM = os.path.abspath(sys.argv.pop(1))
warnings.simplefilter("ignore", DeprecationWarning)  # pyatspi's own calls into libatspi
UPGRADE = "Select Upgrade button to download firmware version 1-3 to Orlo:"
NO_ORLO = "No Orlo is on the FireWire bus: check that it is connected and powered."
KEEP_POWER = " Do not disconnect or power off the Orlo."


def pump(seconds):
    """Lets pyatspi deliver events for `seconds`."""
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.iteration(False):
            pass
        time.sleep(0.02)


def wait_until(condition, timeout=20, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        result = condition()
        if result:
            return result
        pump(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def descendants(accessible):
    for child in accessible:
        if child is None:
            continue
        yield child
        yield from descendants(child)


def targets(accessible, relation):
    return [
        r.getTarget(i)
        for r in accessible.getRelationSet()
        if r.getRelationType() == relation
        for i in range(r.getNTargets())
    ]


class Heard:
    """The events a screen reader registers for, as they come."""

    TYPES = ("object:state-changed:showing", "object:property-change:accessible-value")

    def __init__(self):
        self.events = []
        pyatspi.Registry.registerEventListener(self._hear, *self.TYPES)
        pump(0.5)  # the application learns of the listener over the bus

    def close(self):
        pyatspi.Registry.deregisterEventListener(self._hear, *self.TYPES)

    def _hear(self, event):
        try:
            source = event.source
            self.events.append((event.type, source.getRoleName(), source.name, event.detail1))
        except Exception:  # an object gone while its event travelled
            pass

    def announcements(self, since=0):
        """What Orca speaks of them: each notification that became showing, by its name."""
        return [
            name
            for kind, role, name, shown in self.events[since:]
            if kind == "object:state-changed:showing" and role == "notification" and shown
        ]

    def wait_for_announcement(self, text, since=0, timeout=20):
        wait_until(lambda: text in self.announcements(since), timeout,
                   f"the announcement {text!r}")


class Window:
    """The window program in a child process, and its accessible application."""

    def __init__(self, *arguments):
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                           QT_QPA_PLATFORM="xcb", LANGUAGE="en",
                           DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        environment.pop("ORLO_RECORD", None)
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([PROGRAM, *arguments], env=environment,
                                        stdout=subprocess.DEVNULL, stderr=self.errors)
        name = os.path.basename(PROGRAM)
        self.app = wait_until(
            lambda: next((a for a in pyatspi.Registry.getDesktop(0) if a and a.name == name), None),
            what="the window on the accessibility bus")

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.errors.close()

    def find(self, role, name=None):
        for accessible in descendants(self.app):
            if accessible.getRoleName() == role and (name is None or accessible.name == name):
                return accessible
        return None

    def wait_for(self, role, name, timeout=20):
        return wait_until(lambda: self.find(role, name), timeout, f"a {role} {name!r}")

    def press(self, button_name):
        button = self.wait_for("push button", button_name)
        wait_until(lambda: button.getState().contains(pyatspi.STATE_SENSITIVE),
                   what=f"{button_name} enabled")
        action = button.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        action.doAction(names.index("Press"))


class ScreenReaderTest(unittest.TestCase):
    def setUp(self):
        self.heard = Heard()
        self.windows = []

    def tearDown(self):
        for window in self.windows:
            window.close()
        self.heard.close()

    def start(self, *arguments):
        window = Window(*arguments)
        self.windows.append(window)
        return window

    def test_values_are_read_with_their_captions_and_the_instruction_when_it_changes(self):
        plugged = os.path.join(tempfile.mkdtemp(prefix="atspi_test."), "plugged")
        window = self.start("--plug-in-when", plugged)
        # Before the Orlo is there: why not, in the instruction line.
        window.wait_for("notification", NO_ORLO)
        self.assertIsNotNone(window.find("label", "Orlo Not Found"))
        # Then the invitation, announced as it replaces the reason.
        mark = len(self.heard.events)
        open(plugged, "w").close()
        self.heard.wait_for_announcement(UPGRADE, since=mark)
        shutil.rmtree(os.path.dirname(plugged))
        for caption, value in (("Current firmware version:", "1-2"),
                               ("Serial number:", "SN000042")):
            with self.subTest(caption=caption):
                label = window.wait_for("label", value)
                labels = targets(label, pyatspi.RELATION_LABELLED_BY)
                self.assertEqual([l.name for l in labels], [caption])
                self.assertEqual([l.name for l in targets(labels[0], pyatspi.RELATION_LABEL_FOR)],
                                 [value])
                # What a screen reader says of it: its label, then its name.
                print(f"read: {labels[0].name} {label.name}")
        bar = window.find("progress bar", "Update progress")
        self.assertEqual(bar.queryValue().currentValue, 0)

    def test_the_warning_is_announced_when_an_editor_starts(self):
        window = self.start()
        window.wait_for("push button", "Upgrade")
        self.heard.wait_for_announcement(UPGRADE)
        folder = tempfile.mkdtemp(prefix="atspi_test.")
        editor = os.path.join(folder, "kdenlive")
        shutil.copy("/bin/sleep", editor)
        process = subprocess.Popen([editor, "60"])
        try:
            self.heard.wait_for_announcement("Quit Kdenlive before updating.")
            upgrade = window.find("push button", "Upgrade")
            self.assertFalse(upgrade.getState().contains(pyatspi.STATE_SENSITIVE))
        finally:
            process.kill()
            process.wait()
            shutil.rmtree(folder)
        wait_until(lambda: window.find("push button", "Upgrade").getState().contains(
            pyatspi.STATE_SENSITIVE), what="Upgrade enabled again")

    def test_an_update_pressed_through_assistive_technology_ends_in_an_alert_read_aloud(self):
        cases = (
            ((), "Programming Complete",
             "You will need to cycle the Power on your Orlo for changes to take affect",
             "Programming Complete. Cycle the power of the Orlo for the new firmware to take "
             "effect."),
            (("--failing",), "Programming Failed",
             "Programming the FPGA image failed (status 0xE0008015). Your Orlo was not updated "
             "completely. Keep it connected and powered, and start the update again.",
             "Programming Failed: the FPGA image failed (status 0xE0008015). Keep the Orlo "
             "connected and powered, and update it again."),
        )
        for arguments, title, text, outcome in cases:
            with self.subTest(title):
                self.heard.events.clear()
                window = self.start(*arguments)
                window.press("Upgrade")
                self.heard.wait_for_announcement("Writing the FPGA image." + KEEP_POWER)
                alert = wait_until(lambda: window.find("alert"), what="the alert")
                labels = [a.name for a in descendants(alert) if a.getRoleName() == "label"]
                self.assertIn(title, labels)
                self.assertIn(text, labels)
                ok = next(a for a in descendants(alert) if a.getRoleName() == "push button")
                self.assertEqual(ok.name, "OK")
                self.assertTrue(ok.getState().contains(pyatspi.STATE_FOCUSED))
                # Behind the alert, the instruction line says what happened, announced.
                self.heard.wait_for_announcement(outcome)
                values = [v for kind, role, _, v in self.heard.events
                          if kind == "object:property-change:accessible-value"]
                self.assertTrue(values, "no progress was heard")
                mark = len(self.heard.events)
                ok.queryAction().doAction(0)
                if title == "Programming Complete":
                    self.assertEqual(window.process.wait(20), 0)  # its OK ends the utility
                else:
                    self.heard.wait_for_announcement(UPGRADE, since=mark)  # one may try again


def main():
    launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    try:
        wait_until(lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.a11y.Bus.GetAddress"], capture_output=True).returncode == 0,
            what="the accessibility bus")
        return unittest.main(exit=False, verbosity=2).result.wasSuccessful()
    finally:
        launcher.terminate()
        launcher.wait()


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
