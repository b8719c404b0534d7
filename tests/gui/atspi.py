#!/usr/bin/python3
"""Reads and drives the desktop program through the accessibility bus
(AT-SPI), as a screen reader would.

  atspi.py PID dump                 every object: role, name, states, extents
  atspi.py PID names NAME...        fails unless each NAME is an object's name
  atspi.py PID press NAME           presses the button NAME (access key marks dropped)
  atspi.py PID text NAME            the text of the object NAME
  atspi.py PID columns NAME         the number of columns NAME reports
  atspi.py PID description NAME     the description of the object NAME
  atspi.py PID alert                the text of the message box shown
  atspi.py PID box                  the message box shown: its title, then each of its texts, one a line
  atspi.py PID visible NAME REGEX   fails unless the first line of NAME's text that matches REGEX is in view
  atspi.py PID inside NAME OUTER    fails unless the object NAME lies wholly within the window OUTER
  atspi.py PID enabled NAME         fails unless the object NAME is enabled
  atspi.py PID focused NAME         fails unless the object NAME has the keyboard focus

Exit 0 on success, 1 with the reason on stderr.
"""
import re
import sys
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

warnings.simplefilter("ignore", DeprecationWarning)


def app_of(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def walk(obj, depth=0):
    if obj is None or depth > 40:
        return
    yield obj
    try:
        n = obj.get_child_count()
    except Exception:
        return
    for i in range(n):
        try:
            child = obj.get_child_at_index(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def clean(name):
    return (name or "").replace("&", "")


def find(app, name, roles=None):
    for obj in walk(app):
        try:
            if clean(obj.get_name()) == name and (roles is None or obj.get_role_name() in roles):
                if obj.get_state_set().contains(Atspi.StateType.SHOWING) or roles is None:
                    return obj
        except Exception:
            continue
    return None


def shown_alert(app):
    for obj in walk(app):
        try:
            if obj.get_role_name() == "alert" and obj.get_state_set().contains(Atspi.StateType.SHOWING):
                return obj
        except Exception:
            continue
    return None


def fail(why):
    print(why, file=sys.stderr)
    sys.exit(1)


def main():
    pid, command, args = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    app = app_of(pid)
    if app is None:
        fail("no accessible application with pid %d" % pid)
    if command == "dump":
        for obj in walk(app):
            try:
                e = obj.get_extents(Atspi.CoordType.SCREEN)
                states = [s.value_nick for s in obj.get_state_set().get_states()]
                print("%s|%s|%s|%d,%d,%dx%d|%s" % (obj.get_role_name(), clean(obj.get_name()),
                                                   obj.get_description() or "", e.x, e.y, e.width, e.height,
                                                   ",".join(states)))
            except Exception:
                continue
    elif command == "names":
        missing = [n for n in args if find(app, n) is None]
        if missing:
            fail("no object named: " + ", ".join(missing))
    elif command == "press":
        obj = find(app, args[0], {"push button", "button"})
        if obj is None:
            fail("no button " + args[0])
        if not obj.get_state_set().contains(Atspi.StateType.ENABLED):
            fail("button %s is disabled" % args[0])
        names = [Atspi.Action.get_action_name(obj, i) for i in range(Atspi.Action.get_n_actions(obj))]
        Atspi.Action.do_action(obj, next((i for i, n in enumerate(names) if n.lower() in ("press", "click")), 0))
    elif command == "text":
        obj = find(app, args[0])
        if obj is None:
            fail("no object " + args[0])
        print(Atspi.Text.get_text(obj, 0, Atspi.Text.get_character_count(obj)))
    elif command == "description":
        obj = find(app, args[0])
        if obj is None:
            fail("no object " + args[0])
        print(obj.get_description() or "")
    elif command == "columns":
        obj = find(app, args[0])
        if obj is None:
            fail("no object " + args[0])
        print(Atspi.Table.get_n_columns(obj))
    elif command == "enabled":
        obj = find(app, args[0])
        if obj is None or not obj.get_state_set().contains(Atspi.StateType.ENABLED):
            fail(args[0] + " is not enabled")
    elif command == "focused":
        obj = find(app, args[0])
        if obj is None or not obj.get_state_set().contains(Atspi.StateType.FOCUSED):
            fail(args[0] + " does not have the focus")
    elif command == "alert":
        for obj in walk(app):
            try:
                if obj.get_role_name() == "alert" and obj.get_state_set().contains(
                        Atspi.StateType.SHOWING):
                    for part in walk(obj):
                        if part.get_role_name() == "label" and len(part.get_name() or "") > 20:
                            print(part.get_name())
                            return
            except Exception:
                continue
        fail("no message box")
    elif command == "box":
        box = shown_alert(app)
        if box is None:
            fail("no message box")
        print(clean(box.get_name()))
        for part in walk(box):
            try:
                if part.get_role_name() == "label" and part.get_name() and \
                        part.get_state_set().contains(Atspi.StateType.SHOWING):
                    print(part.get_name())
            except Exception:
                continue
    elif command == "visible":
        obj = find(app, args[0])
        if obj is None:
            fail("no object " + args[0])
        text = Atspi.Text.get_text(obj, 0, Atspi.Text.get_character_count(obj))
        found = re.search(args[1], text, re.MULTILINE)
        if found is None:
            fail("no line matches " + args[1])
        area = obj.get_extents(Atspi.CoordType.SCREEN)
        line = Atspi.Text.get_range_extents(obj, found.start(), found.start() + 1, Atspi.CoordType.SCREEN)
        if not (area.y <= line.y and line.y + line.height <= area.y + area.height and line.height > 0):
            fail("the line %r is at y %d, the text shows y %d to %d" % (found.group(0), line.y, area.y,
                                                                        area.y + area.height))
    elif command == "inside":
        obj, outer = find(app, args[0]), find(app, args[1], {"dialog", "frame", "window"})
        if obj is None or outer is None:
            fail("no object " + (args[0] if obj is None else args[1]))
        a, b = obj.get_extents(Atspi.CoordType.SCREEN), outer.get_extents(Atspi.CoordType.SCREEN)
        if not (b.x <= a.x and a.x + a.width <= b.x + b.width and b.y <= a.y and a.y + a.height <= b.y + b.height
                and a.height > 0):
            fail("%s at %d,%d %dx%d is not within %s at %d,%d %dx%d" % (args[0], a.x, a.y, a.width, a.height,
                                                                       args[1], b.x, b.y, b.width, b.height))
    else:
        fail("unknown command " + command)


if __name__ == "__main__":
    main()
