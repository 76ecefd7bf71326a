'''A RealtimeKit for tests, loaded by python-dbusmock (--template this file).

Parameters: RTTimeUSecMax and MaxRealtimePriority, the daemon's limits; refuse, to answer every
request as a daemon whose policy says no. Requests are in dbusmock's call log (--logfile).
'''

import dbus

BUS_NAME = 'org.freedesktop.RealtimeKit1'
MAIN_OBJ = '/org/freedesktop/RealtimeKit1'
MAIN_IFACE = 'org.freedesktop.RealtimeKit1'
SYSTEM_BUS = True


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        'RTTimeUSecMax': dbus.Int64(parameters.get('RTTimeUSecMax', 200000)),
        'MaxRealtimePriority': dbus.Int32(parameters.get('MaxRealtimePriority', 20)),
        'MinNiceLevel': dbus.Int32(-15),
    })
    answer = ("raise dbus.exceptions.DBusException('Operation not permitted', "
              "name='org.freedesktop.DBus.Error.AccessDenied')"
              if parameters.get('refuse') else '')
    mock.AddMethods(MAIN_IFACE, [
        ('MakeThreadRealtimeWithPID', 'ttu', '', answer),
    ])
