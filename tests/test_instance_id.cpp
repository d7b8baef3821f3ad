// The instance ids of the ports the Windows program lists, as Windows gives them for the
// commonest USB serial drivers, parsed into a USB adapter's ids and serial number.
#include "ports/instance_id.h"

#include <gtest/gtest.h>

namespace
{

struct row {
    const char *id;
    bool usb;
    const char *vendor, *product, *serial;
    bool composite;
};

const row TABLE[] = {
    // FTDI's own driver: the device, and the port its bus driver makes with the channel letter
    {"USB\\VID_0403&PID_6001\\AR0JFBPE", true, "0403", "6001", "AR0JFBPE", false},
    {"FTDIBUS\\VID_0403+PID_6001+AR0JFBPEA\\0000", true, "0403", "6001", "AR0JFBPE", false},
    {"FTDIBUS\\VID_0403+PID_6010+FT4D5E6FB\\0000", true, "0403", "6010", "FT4D5E6F", false},
    {"FTDIBUS\\VID_0403+PID_6001+6&2C4F0D2B&0&2\\0000", true, "0403", "6001", "", false},
    // the generic CDC driver and single-function adapters, with and without a serial number
    {"USB\\VID_2341&PID_0043\\85735313932351F0E1C1", true, "2341", "0043", "85735313932351F0E1C1",
     false},
    {"USB\\VID_10C4&PID_EA60\\0001", true, "10c4", "ea60", "0001", false},
    {"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2", true, "1a86", "7523", "", false},
    {"USB\\VID_067B&PID_2303\\6&26F0E1A&0&4", true, "067b", "2303", "", false},
    {"usb\\vid_04d8&pid_000a\\MCP2200SN", true, "04d8", "000a", "MCP2200SN", false},
    // one interface of a composite device: the serial number is its parent's
    {"USB\\VID_2341&PID_8036&MI_00\\6&3A7E9C1&0&0000", true, "2341", "8036", "", true},
    {"USB\\VID_2E8A&PID_000A&MI_00\\7&2B4F7D1&0&0000", true, "2e8a", "000a", "", true},
    // no USB adapter, or no id of one
    {"ACPI\\PNP0501\\1", false, "", "", "", false},
    {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1A2B3C4D&0&000000000000_"
     "00000000",
     false, "", "", "", false},
    {"USB\\VID_0403&PID_6001", false, "", "", "", false},
    {"USB\\VID_403&PID_6001\\A1", false, "", "", "", false},
    {"USB\\VID_0403&PID_60G1\\A1", false, "", "", "", false},
    {"FTDIBUS\\VID_0403+PID_6001+A\\0000", true, "0403", "6001", "", false},
    {"", false, "", "", "", false},
};

} // namespace

TEST(InstanceId, TheCommonestUsbSerialDriversIds)
{
    for (const row &r : TABLE) {
        const usb_ids got = ParseInstanceId(r.id);
        EXPECT_EQ(got.usb, r.usb) << r.id;
        EXPECT_EQ(got.vendor_id, r.vendor) << r.id;
        EXPECT_EQ(got.product_id, r.product) << r.id;
        EXPECT_EQ(got.serial, r.serial) << r.id;
        EXPECT_EQ(got.composite, r.composite) << r.id;
    }
}
