// --list-ports: the port table as the updater sees it, one line a port.
#pragma once

#include <string>
#include <vector>

// "COM1  /dev/ttyUSB0  USB adapter 0403:6001 FTDI FT232R USB UART, serial A50285BI (ftdi_sio)
// opens" ("COM12  USB adapter ...  opens" on Windows), one line a port of the table (the given
// paths, or the ports found when it is empty, then the Bluetooth ones the search leaves out),
// then what is known of adapters that did not become a usable port.
std::string PortListText(const std::vector<std::string>& givenPorts);
