#!/usr/bin/python3
# A whole update as a screen reader user does it, keys only: the updater is driven with xdotool
# while this client reads its accessibility tree through AT-SPI (pyatspi) and records the events
# a screen reader would speak from. Checks the names, the announcements and the end; the device's
# record is compared by the caller.
# Usage: atspi-update.py UPDATER FILE MODE    (MODE: "whole" or "silent": a device that stops
# answering, where the run ends with Exit)
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

updater, update_file, mode = sys.argv[1:4]
events = []
failures = []


def pump(seconds):
    # pyatspi's view of the desktop moves only while GLib's main context runs.
    context = GLib.MainContext.default()
    end = time.time() + seconds
    while time.time() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.01)


def record(event):
    try:
        events.append((event.type, event.source.getRoleName(), event.source.name or "",
                       event.detail1))
    except Exception:  # an object that went before it could be read
        pass


def check(ok, what):
    if not ok:
        failures.append(what)
        print("atspi-update: FAILED: " + what, flush=True)


def walk(accessible):
    yield accessible
    for i in range(accessible.childCount):
        child = accessible.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "corvane-uploader":
            return app
    return None


def find(role, name=None, seconds=20, showing=True):
    end = time.time() + seconds
    while time.time() < end:
        app = application()
        for acc in walk(app) if app else []:
            try:
                if acc.getRoleName() == role and (name is None or acc.name == name) and (
                        not showing or acc.getState().contains(pyatspi.STATE_SHOWING)):
                    return acc
            except Exception:
                pass
        pump(0.1)
    return None


def key(*keys):
    subprocess.run(["xdotool", "key", "--clearmodifiers"] + list(keys), check=True)
    pump(0.4)


def focus_window(title):
    subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % title,
                    "windowactivate", "--sync"], check=False, stderr=subprocess.DEVNULL)
    subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title,
                    "windowfocus", "--sync"], check=False, stderr=subprocess.DEVNULL)
    pump(0.3)


def spoken(text):
    """The announcements: an alert of the main window shown with `text` in its name."""
    return [e for e in events if e[0] == "object:state-changed:showing" and e[1] == "alert"
            and e[3] == 1 and text in e[2]]


for kind in ["object:state-changed:showing", "object:property-change:accessible-name", "focus:"]:
    pyatspi.Registry.registerEventListener(record, kind)
environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
program = subprocess.Popen([updater], env=environment, cwd=os.path.dirname(update_file),
                           stderr=subprocess.DEVNULL)
try:
    # The port dialog: named, its list named after its label and labelled by it; "Ok" says why
    # it cannot be pressed yet.
    dialog = find("dialog", "MIDI port selection")
    check(dialog is not None, "a dialog named \"MIDI port selection\"")
    listing = find("list", "MIDI port selection")
    check(listing is not None, "the port list named \"MIDI port selection\"")
    # Qt's item views report no relation of their own: the label says what it labels.
    label = find("label", "MIDI port selection")
    labelled = [r for r in label.getRelationSet()
                if r.getRelationType() == pyatspi.RELATION_LABEL_FOR] if label else []
    check(labelled and labelled[0].getTarget(0).getRoleName() == "list",
          "the label \"MIDI port selection\" labels the port list")
    ok = find("push button", "Ok")
    check(ok is not None and not ok.getState().contains(pyatspi.STATE_SENSITIVE)
          and ok.description != "", "\"Ok\" disabled, with its reason as its description")
    focus_window("Dialog")
    key("Down")  # the one port: the first arrow key chooses it
    check(ok is not None and ok.getState().contains(pyatspi.STATE_SENSITIVE),
          "one arrow key chose the only port")
    key("Return")
    check(find("dialog", "Select file") is not None, "the file dialog")
    focus_window("Select file")
    subprocess.run(["xdotool", "type", "--delay", "5", os.path.basename(update_file)], check=True)
    key("Return")
    question = find("alert", "Updater message")
    check(question is not None, "the replacement question")
    app = application()
    focused = [(a.getRoleName(), a.name) for a in walk(app)
               if a.getState().contains(pyatspi.STATE_FOCUSED)] if app else []
    check(len(focused) == 1, "one focused object in the question: %s" % focused)
    focus_window("Updater message")
    key("alt+y")
    bar = find("progress bar", "Update progress")
    check(bar is not None, "the progress bar named \"Update progress\"")
    if mode == "whole":
        end = find("alert", "The update is complete", seconds=60)
        check(end is not None, "the \"End\" box named \"The update is complete\"")
        check(len(spoken("every message was sent and acknowledged")) == 1, "the end said once")
        key("Return")  # the box has the keyboard as it comes
    else:
        pump(6)  # silent from the fourth message: the note comes at 3 s and counts the seconds
        said = spoken("Waiting for the device to acknowledge")
        check(len(said) == 1, "the waiting said once, not every second (said %d times)" % len(said))
    # Noise: the closed port dialog left the tree, no markup in a description, no placeholder.
    app = application()
    everything = list(walk(app)) if app else []
    check(not any(a.getRoleName() == "dialog" and a.name == "MIDI port selection"
                  for a in everything), "the closed port dialog has left the tree")
    marked = [(a.getRoleName(), a.name, a.description) for a in everything
              if "<" in (a.description or "")]
    check(not marked, "no markup in descriptions: %s" % marked[:3])
    check(not any(a.name == "TextLabel" for a in everything), "no placeholder text")
    # Exit has the focus: the window is left with one key.
    focus_window("Corvane Uploader")
    focused = [(a.getRoleName(), a.name) for a in everything
               if a.getState().contains(pyatspi.STATE_FOCUSED)]
    check(focused == [("push button", "Exit")], "the focus on Exit alone: %s" % focused)
    key("space")
    program.wait(timeout=20)
finally:
    if program.poll() is None:
        program.kill()
print("atspi-update: %s, %d events" % ("FAILED" if failures else "passed", len(events)), flush=True)
sys.exit(1 if failures else 0)
