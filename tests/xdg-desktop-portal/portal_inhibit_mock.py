'''xdg-desktop-portal's Inhibit portal for tests, loaded by python-dbusmock (--template this file).

As the portal does, Inhibit(window, flags, options) hands out a request object whose Close ends
the inhibition. What is held is the property Held of org.orlofirmwareupdate.PortalMock: for each
request's path, its flags and the reason given, as "FLAGS REASON".
'''

import dbus
from dbusmock.mockobject import objects

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Inhibit'
SYSTEM_BUS = False
TEST_IFACE = 'org.orlofirmwareupdate.PortalMock'


def set_held(held):
    objects[MAIN_OBJ].Set(TEST_IFACE, 'Held', dbus.Dictionary(held, signature='ss'))


def close(request):
    held = dict(objects[MAIN_OBJ].Get(TEST_IFACE, 'Held'))
    held.pop(request.path, None)
    set_held(held)
    objects[MAIN_OBJ].RemoveObject(request.path)


def inhibit(portal, _window, flags, options):
    portal.requests += 1
    path = f'{MAIN_OBJ}/request/{portal.requests}'
    portal.AddObject(path, 'org.freedesktop.portal.Request', {}, [('Close', '', '', close)])
    held = dict(portal.Get(TEST_IFACE, 'Held'))
    held[path] = f'{int(flags)} {options.get("reason", "")}'
    set_held(held)
    return dbus.ObjectPath(path)


def load(mock, _parameters):
    mock.requests = 0
    mock.AddProperty(TEST_IFACE, 'Held', dbus.Dictionary({}, signature='ss'))
    mock.AddMethod(MAIN_IFACE, 'Inhibit', 'sua{sv}', 'o', inhibit)
