// The diagnoses of a search that found no device, from the system's reports to plain advice.
#include "serial/PortDiagnosis.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/DeviceId.h"

namespace portdiag {

namespace {

std::string Describe(const std::string& name, const std::string& usbId) {
    std::string family = ChipFamily(usbId);
    std::string text = name.empty() ? "a USB serial adapter" : "\"" + name + "\"";
    text += " (USB " + usbId;
    if (!family.empty()) text += ", " + family + " chip";
    return text + ")";
}

// What the device manager's problem codes mean, in the words a user needs.
std::string ProblemText(unsigned code) {
    switch (code) {
        case 1:
            return "it is not configured";
        case 10:
            return "it cannot start";
        case 18:
        case 28:
            return "its driver is not installed";
        case 22:
            return "it is disabled";
        case 31:
            return "it is not working properly";
        case 43:
            return "Windows stopped it after it reported problems";
        default:
            return "";
    }
}

bool Has(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

// "... converter now attached to ttyUSB0": the tty named last on the line.
std::string LastWord(const std::string& line) {
    size_t at = line.find_last_of(' ');
    return at == std::string::npos ? line : line.substr(at + 1);
}

}  // namespace

const std::vector<SerialChip>& SerialChips() {
    static const std::vector<SerialChip> chips = {
        {"1a86:7523", "CH340/CH341", "ch341"}, {"1a86:5523", "CH340/CH341", "ch341"},
        {"1a86:7522", "CH340/CH341", "ch341"}, {"10c4:ea60", "CP210x", "cp210x"},
        {"10c4:ea61", "CP210x", "cp210x"},     {"10c4:ea63", "CP210x", "cp210x"},
        {"10c4:ea70", "CP210x", "cp210x"},     {"10c4:ea71", "CP210x", "cp210x"},
        {"0403:6001", "FTDI", "ftdi_sio"},     {"0403:6010", "FTDI", "ftdi_sio"},
        {"0403:6011", "FTDI", "ftdi_sio"},     {"0403:6014", "FTDI", "ftdi_sio"},
        {"0403:6015", "FTDI", "ftdi_sio"},     {"067b:2303", "PL2303", "pl2303"},
        {"067b:23a3", "PL2303", "pl2303"},     {"067b:23c3", "PL2303", "pl2303"},
        {"067b:23d3", "PL2303", "pl2303"},
    };
    return chips;
}

std::string ChipFamily(const std::string& usbId) {
    std::string id = plat::deviceid::Lower(usbId);
    for (const SerialChip& c : SerialChips())
        if (id == c.usbId) return c.family;
    return "";
}

std::vector<std::string> DiagnoseWindows(const std::vector<plat::DeviceRecord>& devices) {
    std::vector<std::string> out;
    for (const plat::DeviceRecord& d : devices) {
        if (d.problem == 0) continue;
        plat::SerialPortInfo info = plat::InfoFromInstanceId(d.instanceId);
        std::string family = ChipFamily(info.usbId);
        // Other USB devices with a problem are not ours to talk about.
        if (info.kind != plat::SerialPortInfo::Kind::UsbAdapter || (family.empty() && !d.isPort))
            continue;
        std::string text =
            "USB serial adapter without a working driver: " + Describe(d.friendlyName, info.usbId) +
            (d.portName.empty() ? "" : " on " + d.portName) + " has device problem code " +
            std::to_string(d.problem);
        std::string what = ProblemText(d.problem);
        if (!what.empty()) text += " (" + what + ")";
        if (d.problem == 22) {
            text += ". Enable it: Device Manager, right-click the adapter, Enable device.";
        } else {
            text += ". Install the driver for " +
                    (family.empty() ? std::string("the adapter from its maker")
                                    : "the " + family +
                                          " chip (from the chip maker, or Device "
                                          "Manager: right-click the adapter, "
                                          "Update driver)") +
                    ", then unplug the adapter and plug it in again.";
        }
        out.push_back(text);
    }
    return out;
}

std::vector<std::string> DiagnoseLinux(const plat::PortFacts& facts) {
    std::vector<std::string> out;
    // The kernel's word that brltty took an adapter, and the ttys that came and went.
    std::string claimLine;
    std::map<std::string, bool> ttys;  // tty: still there after its last message
    for (const std::string& line : facts.kernelLog) {
        if (line.find("claimed by") != std::string::npos &&
            line.find("brltty") != std::string::npos)
            claimLine = line;
        if (line.find("converter now attached to") != std::string::npos)
            ttys[LastWord(line)] = true;
        if (line.find("converter now disconnected from") != std::string::npos)
            ttys[LastWord(line)] = false;
    }
    std::vector<const plat::UsbDeviceRecord*> adapters;
    for (const plat::UsbDeviceRecord& d : facts.usbDevices)
        if (!ChipFamily(d.usbId).empty()) adapters.push_back(&d);

    std::vector<std::string> taken;  // adapters brltty's rules picked or a program holds
    bool brltty = facts.brlttyInstalled && !facts.brlttyRules.empty();
    for (const plat::UsbDeviceRecord* d : adapters) {
        if (!d->tty.empty()) continue;
        if (d->brlttyMatched ||
            (d->interfaceDriver == "usbfs" && (brltty || Has(facts.processes, "brltty")))) {
            taken.push_back(Describe(d->product, d->usbId));
            continue;
        }
        std::string module;
        for (const SerialChip& c : SerialChips())
            if (d->usbId == c.usbId) module = c.module;
        out.push_back("The USB serial adapter " + Describe(d->product, d->usbId) +
                      " is plugged in but has no serial port: " +
                      (d->interfaceDriver == "usbfs"
                           ? "a program holds it; close it and plug the adapter in again."
                           : "no driver took it (is the kernel module " + module +
                                 " there? sudo modprobe " + module + ")."));
    }
    if (brltty || !claimLine.empty() || !taken.empty()) {
        std::string text = "brltty (the braille display service) ";
        if (brltty) {
            text += "is installed with its udev rules in effect (";
            for (size_t i = 0; i < facts.brlttyRules.size(); ++i)
                text += (i ? ", " : "") + facts.brlttyRules[i];
            text +=
                "): on many desktop systems it takes CH340 and CP210x USB serial adapters away "
                "right after they are plugged in, so their port never appears.";
        } else {
            text += "takes USB serial adapters away right after they are plugged in.";
        }
        for (const std::string& t : taken) text += " It holds " + t + " now.";
        if (!claimLine.empty()) text += " The kernel says: \"" + claimLine + "\".";
        text +=
            " Unless a braille display is used on this PC, remove brltty (sudo apt remove "
            "brltty) or mask its udev rules (sudo ln -s /dev/null /etc/udev/rules.d/NAME for "
            "each rule file NAME above), then unplug the adapter and plug it in again.";
        out.push_back(text);
    }
    for (const auto& [tty, present] : ttys) {
        if (present) continue;
        out.push_back("A USB serial adapter appeared as /dev/" + tty + " and vanished again: " +
                      (brltty || !claimLine.empty()
                           ? std::string("brltty (above) is the usual cause.")
                           : std::string("a loose cable, or a program that takes the adapter "
                                         "away; plug it in again and look at the kernel log "
                                         "(sudo dmesg).")));
    }
    bool allIgnored =
        !adapters.empty() && std::all_of(adapters.begin(), adapters.end(),
                                         [](const auto* d) { return d->modemManagerIgnores; });
    if (Has(facts.processes, "ModemManager") && !allIgnored) {
        out.push_back(
            "ModemManager is running: it opens new USB serial ports and sends them modem (AT) "
            "commands, which disturbs the device's bootloader. Stop it while updating (sudo "
            "systemctl stop ModemManager), or enable the updater's rule file that tells it to "
            "leave the common USB serial adapters alone (README, \"When the device is not "
            "found\").");
    }
    return out;
}

std::vector<std::string> Diagnose(const plat::PortFacts& facts) {
    std::vector<std::string> out = DiagnoseWindows(facts.devices);
    for (std::string& line : DiagnoseLinux(facts)) out.push_back(std::move(line));
    return out;
}

}  // namespace portdiag
