// What a Windows device instance id tells of a USB serial adapter: its vendor and product ids
// and its serial number. Windows names each device so; the text is the same on every system,
// so that the parsing is tested everywhere.
#pragma once

#include <string>

struct usb_ids {
    bool usb = false;       // the id names a USB vendor and product
    std::string vendor_id;  // 4 hex digits, lower case, as Linux's sysfs writes them
    std::string product_id; // ... and the same
    std::string serial;     // the adapter's serial number; "" when the id carries none
    bool composite = false; // one interface of a composite device: its parent has the serial
};

// The ids of the commonest USB serial drivers:
//   USB\VID_0403&PID_6001\A12345B             a USB device: the generic CDC driver's port or a
//                                             single-function adapter; after the last
//                                             backslash its serial number, unless Windows made
//                                             that part up for a device without one (it then
//                                             holds '&': 5&1A2B3C4D&0&2)
//   USB\VID_2341&PID_0043&MI_00\6&1A2B3C&0&0000
//                                             one interface of a composite device, its part
//                                             always made up
//   FTDIBUS\VID_0403+PID_6001+A12345BA\0000   the FTDI bus driver's port: the serial number
//                                             with the letter of the chip's channel after it
//                                             (A for the first, B, C, D)
// Any other id (a board's own port, ACPI\PNP0501\1; a Bluetooth link, BTHENUM\...) is no USB.
usb_ids ParseInstanceId(const std::string &id);
