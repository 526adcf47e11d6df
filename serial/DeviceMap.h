// Where a port name such as "COM3" lives on this machine.
#pragma once

#include <functional>
#include <map>
#include <string>

// COM port number -> device path, from the [Ports] section of Config.ini.
using SerialDeviceMap = std::map<int, std::string>;

// The map the console hands over at start-up; used by every later Open.
void SetSerialDeviceMap(SerialDeviceMap map);
const SerialDeviceMap& GetSerialDeviceMap();

// "COMn" resolves through the map, else /dev/ttyUSB<n-1> when it exists, else
// /dev/ttyS<n-1>. A name starting with "/" is a path already. Anything else is
// returned unchanged, so opening it fails like any missing device.
std::string ResolveSerialDevice(const std::string& commName, const SerialDeviceMap& map,
                                const std::function<bool(const std::string&)>& exists);

// The same with the installed map and the real file system. On Windows the
// name itself: the system knows its COM ports by name.
std::string ResolveSerialDevice(const std::string& commName);
