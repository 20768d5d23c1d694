// The rules the package's Windows 10 sections (NTx86.10.0...17763 and
// NTamd64.10.0...17763, what InfVerif /w checks at its default /wbuild 17763)
// meet, each with its source, and the older sections' DIRID 12 for Windows
// before 10. Each rule is shown failing on the INF with it broken once.
#include "inf_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using inftext::Fields;
using inftext::Trimmed;
using inftext::Upper;

struct Line {
    std::string key, value;  // key upper-case; a line without "=" has only a value
};
using Inf = std::map<std::string, std::vector<Line>>;  // by upper-case section name

Inf Read(const char *path)
{
    std::ifstream in(path);
    Inf inf;
    std::vector<Line> *current = nullptr;
    for (std::string line; std::getline(in, line);) {
        line = Trimmed(line.substr(0, line.find(';')));
        if (line.empty()) continue;
        if (line.front() == '[') {
            current = &inf[Upper(line.substr(1, line.find(']') - 1))];
        } else if (current) {
            const size_t eq = line.find('=');
            current->push_back(eq == std::string::npos ? Line{"", line}
                                                       : Line{Upper(Trimmed(line.substr(0, eq))),
                                                              Trimmed(line.substr(eq + 1))});
        }
    }
    return inf;
}

std::vector<std::string> Values(const Inf &inf, const std::string &section, const std::string &key)
{
    std::vector<std::string> values;
    auto found = inf.find(Upper(section));
    if (found == inf.end()) return values;
    for (const Line &line : found->second)
        if (line.key == key)
            for (const std::string &v : Fields(line.value)) values.push_back(v);
    return values;
}

const char *const kArchitectures[] = {"x86", "amd64"};
const std::string kStore = ".10.0...17763";

// The install sections a set of models uses on |arch|: each models line's
// install section, taken with the architecture's decoration as Windows
// prefers it.
std::vector<std::string> InstallSections(const Inf &inf, const std::string &arch, const std::string &version)
{
    std::vector<std::string> sections;
    for (const Line &manufacturer : inf.at("MANUFACTURER")) {
        const std::string models = Upper(Fields(manufacturer.value)[0] + ".NT" + arch + version);
        auto found = inf.find(models);
        if (found == inf.end()) continue;
        for (const Line &line : found->second) {
            const std::string base = Upper(Fields(line.value)[0]);
            const std::string decorated = base + ".NT" + Upper(arch);
            const std::string chosen = inf.count(decorated) ? decorated : base + ".NT";
            if (std::find(sections.begin(), sections.end(), chosen) == sections.end()) sections.push_back(chosen);
        }
    }
    return sections;
}

// Every section reachable from an install section: itself, .HW, .Services.
std::vector<std::string> WithSubsections(const Inf &inf, const std::vector<std::string> &install)
{
    std::vector<std::string> all;
    for (const std::string &s : install)
        for (const char *suffix : {"", ".HW", ".SERVICES"})
            if (inf.count(s + suffix)) all.push_back(s + suffix);
    return all;
}

// What a rule found wrong, one line per problem; empty when it holds.
using Problems = std::vector<std::string>;

struct Rule {
    const char *name;
    const char *source;
    std::function<Problems(const Inf &)> check;
    std::function<void(Inf &)> breakIt;  // one plausible slip that breaks it
};

std::string SourceFolder(const Inf &inf, const std::string &arch, const std::string &file)
{
    for (const std::string &v : Values(inf, "SourceDisksFiles." + arch, Upper(file)))
        if (v != "1") return v;
    return "";
}

// The file lists the install sections copy, each with its DestinationDirs entry.
Problems EachCopy(const Inf &inf, const std::string &version,
                  const std::function<void(const std::string &arch, const std::string &list,
                                           const std::vector<std::string> &dest, Problems *)> &check)
{
    Problems problems;
    for (const char *arch : kArchitectures)
        for (const std::string &install : InstallSections(inf, arch, version))
            for (const std::string &list : Values(inf, install, "COPYFILES"))
                check(arch, list, Values(inf, "DestinationDirs", Upper(list)), &problems);
    return problems;
}

// The service-install sections the Windows 10 sections add.
Problems EachService(const Inf &inf, const std::string &version,
                     const std::function<void(const std::string &arch, const std::vector<std::string> &add,
                                              Problems *)> &check)
{
    Problems problems;
    for (const char *arch : kArchitectures)
        for (const std::string &install : InstallSections(inf, arch, version))
            for (const Line &line : inf.count(install + ".SERVICES") ? inf.at(install + ".SERVICES") : std::vector<Line>{})
                if (line.key == "ADDSERVICE") check(arch, Fields(line.value), &problems);
    return problems;
}

void SetValue(Inf &inf, const std::string &section, const std::string &key, const std::string &value)
{
    for (Line &line : inf[Upper(section)])
        if (line.key == Upper(key)) line.value = value;
}

const Rule kRules[] = {
    {"every manufacturer has models for Windows 10 build 17763 and later on both architectures, beside the older ones",
     "INF Manufacturer section (TargetOSVersion decorations); Combining Platform Extensions with Operating System "
     "Versions; Cross-Platform INF Files (no .ntx86 on x86 sections for Windows 2000 and later)",
     [](const Inf &inf) {
         Problems p;
         for (const Line &m : inf.at("MANUFACTURER")) {
             const std::vector<std::string> f = Fields(m.value);
             // x86 before build 17763 reads the undecorated models: Windows 2000 reads
             // no decoration, and a plain NTx86 would hide them from XP to 1803.
             if (!inf.count(Upper(f[0]))) p.push_back(f[0] + " has no undecorated x86 models");
             if (std::find_if(f.begin() + 1, f.end(), [](const std::string &d) { return Upper(d) == "NTX86"; }) != f.end())
                 p.push_back(f[0] + " names NTx86 models, which Windows 2000 cannot read");
             for (const std::string &want : {std::string("NTamd64"), "NTx86" + kStore, "NTamd64" + kStore})
                 if (std::find_if(f.begin() + 1, f.end(), [&](const std::string &d) { return Upper(d) == Upper(want); }) ==
                         f.end() ||
                     !inf.count(Upper(f[0] + "." + want)))
                     p.push_back(f[0] + " has no " + want + " models");
         }
         return p;
     },
     [](Inf &inf) { inf["MANUFACTURER"].front().value = Fields(inf["MANUFACTURER"].front().value)[0] + ", NTamd64"; }},
    {"the Windows 10 sections copy every file to the driver store (DIRID 13)",
     "Porting an INF to follow driver package isolation: DestinationDirs isn't DIRID 13; Run From Driver Store "
     "(Windows 10 version 1709 and later)",
     [](const Inf &inf) {
         return EachCopy(inf, kStore, [](const std::string &, const std::string &list,
                                         const std::vector<std::string> &dest, Problems *p) {
             if (dest.empty() || dest[0] != "13") p->push_back(list + " is not copied to DIRID 13");
         });
     },
     [](Inf &inf) {
         for (Line &line : inf["DESTINATIONDIRS"])
             if (line.value.rfind("13", 0) == 0) line.value = "12";
     }},
    {"each file lands in the driver store's folder it comes from (DestinationDirs subfolder = SourceDisksFiles folder)",
     "Run From Driver Store: the file is used where the driver store keeps it, under the package's own layout "
     "(SourceDisksFiles.x86 and .amd64 put the images in x86 and amd64)",
     [](const Inf &inf) {
         return EachCopy(inf, kStore, [&inf](const std::string &arch, const std::string &list,
                                             const std::vector<std::string> &dest, Problems *p) {
             for (const Line &file : inf.at(Upper(list))) {
                 const std::string folder = SourceFolder(inf, arch, file.value);
                 if (dest.size() < 2 || Upper(dest[1]) != Upper(folder))
                     p->push_back(list + " puts " + file.value + " outside " + folder);
             }
         });
     },
     [](Inf &inf) { SetValue(inf, "DestinationDirs", "MpsBus_Files_amd64", "13,x86"),
                    SetValue(inf, "DestinationDirs", "MpsFilt_Files_amd64", "13,x86"); }},
    {"each service the Windows 10 sections add runs its binary from the driver store",
     "Porting an INF to follow driver package isolation: update ServiceBinary to the driver store (%13%)",
     [](const Inf &inf) {
         return EachService(inf, kStore, [&inf](const std::string &arch, const std::vector<std::string> &add, Problems *p) {
             for (const std::string &binary : Values(inf, add.at(2), "SERVICEBINARY")) {
                 const std::string file = binary.substr(binary.rfind('\\') + 1);
                 if (Upper(binary) != Upper("%13%\\" + SourceFolder(inf, arch, file) + "\\" + file))
                     p->push_back(add[0] + " runs " + binary);
             }
         });
     },
     [](Inf &inf) {
         SetValue(inf, "MpsBus_Service_amd64", "ServiceBinary", "%12%\\mpsbus.sys");
         SetValue(inf, "MpsFilt_Service_amd64", "ServiceBinary", "%12%\\mpsfilt.sys");
     }},
    {"the Windows 10 sections install only the package's own services; the serial port service comes from the Ports "
     "class INF through Include and Needs",
     "INF DDInstall.Services section (Include, Needs); Driver package isolation: a package does not install or "
     "change what another package owns",
     [](const Inf &inf) {
         Problems p = EachService(inf, kStore, [&inf](const std::string &, const std::vector<std::string> &add,
                                                        Problems *problems) {
             const std::vector<std::string> binary = Values(inf, add.at(2), "SERVICEBINARY");
             const std::string file = binary.empty() ? "" : binary[0].substr(binary[0].rfind('\\') + 1);
             if (Values(inf, "SourceDisksFiles.amd64", Upper(file)).empty())
                 problems->push_back(add[0] + " is a service the package does not ship");
         });
         if (inf.count("VERSION") && Upper(Values(inf, "Version", "CLASS").at(0)) == "PORTS")
             for (const char *arch : kArchitectures)
                 for (const std::string &install : InstallSections(inf, arch, kStore))
                     if (Upper(Values(inf, install + ".Services", "INCLUDE").empty() ? "" : Values(inf, install + ".Services", "INCLUDE")[0]) != "MSPORTS.INF" ||
                         Values(inf, install + ".Services", "NEEDS") != std::vector<std::string>{"ComPort.NT.Services"})
                         p.push_back(install + ".Services does not take the serial service from msports.inf");
         return p;
     },
     [](Inf &inf) {
         for (const char *section : {"MPSPORT_STORE.NTAMD64.SERVICES", "MPSBUS_STORE.NTAMD64.SERVICES"})
             if (inf.count(section)) {
                 auto &lines = inf[section];
                 lines.erase(std::remove_if(lines.begin(), lines.end(),
                                            [](const Line &l) { return l.key == "INCLUDE" || l.key == "NEEDS"; }),
                             lines.end());
                 lines.push_back(Line{"ADDSERVICE", "Serial, 0x0000013A, Serial_Service"});
             }
     }},
    {"the Windows 10 sections write the registry only under the device's own keys (HKR)",
     "Driver package isolation: HKR and system-supplied functions instead of hard-coded global registry locations",
     [](const Inf &inf) {
         Problems p;
         for (const char *arch : kArchitectures)
             for (const std::string &s : WithSubsections(inf, InstallSections(inf, arch, kStore)))
                 for (const std::string &list : Values(inf, s, "ADDREG"))
                     for (const Line &line : inf.at(Upper(list)))
                         if (Upper(Fields(line.value)[0]) != "HKR") p.push_back(list + " writes " + line.value);
         return p;
     },
     [](Inf &inf) {
         inf["MPSPORT_FILTER_ADDREG"].push_back(
             Line{"", "HKLM,\"System\\CurrentControlSet\\Services\\VelmoraMultiportSerial\\Parameters\",\"DebugLevel\","
                      "0x00010001,2"});
         inf["MPSBUS_STORE.NTAMD64"].push_back(Line{"ADDREG", "MpsBus_Global_AddReg"});
         inf["MPSBUS_GLOBAL_ADDREG"].push_back(Line{"", "HKLM,\"Software\\Velmora\",\"Installed\",0x00010001,1"});
     }},
    {"the Windows 10 sections use only what a universal INF may: no co-installers, class installers, log configs, "
     "DefaultInstall, DelReg, DelFiles, RenFiles, RegisterDlls, UpdateInis, BitReg, ProfileItems",
     "Using a Universal INF File (InfVerif /w tests /u as well); INF DelReg directive",
     [](const Inf &inf) {
         Problems p;
         for (const std::string &s : {std::string("CLASSINSTALL32"), std::string("DEFAULTINSTALL")})
             if (inf.count(s)) p.push_back("a [" + s + "] section");
         for (const char *arch : kArchitectures)
             for (const std::string &install : InstallSections(inf, arch, kStore)) {
                 for (const char *suffix : {".COINSTALLERS", ".FACTDEF", ".LOGCONFIGOVERRIDE"})
                     if (inf.count(install + suffix)) p.push_back("[" + install + suffix + "]");
                 for (const std::string &s : WithSubsections(inf, {install}))
                     for (const Line &line : inf.at(s))
                         for (const char *banned : {"DELREG", "DELFILES", "RENFILES", "REGISTERDLLS", "UNREGISTERDLLS",
                                                    "UPDATEINIS", "UPDATEINIFIELDS", "INI2REG", "BITREG", "PROFILEITEMS",
                                                    "LOGCONFIG", "DELSERVICE"})
                             if (line.key == banned) p.push_back(s + " uses " + banned);
             }
         return p;
     },
     [](Inf &inf) {
         for (const char *section : {"MPSPORT_STORE.NTX86", "MPSBUS_STORE.NTX86"})
             if (inf.count(section)) inf[section].push_back(Line{"DELREG", "Old_DelReg"});
     }},
    {"the sections for Windows before 10 keep DIRID 12 for files and services (no driver store to run from)",
     "Run From Driver Store: Windows 10 version 1709 and later; INF DestinationDirs section",
     [](const Inf &inf) {
         Problems p = EachCopy(inf, "", [](const std::string &, const std::string &list,
                                            const std::vector<std::string> &dest, Problems *problems) {
             if (dest.empty() || dest[0] != "12") problems->push_back(list + " is not copied to DIRID 12");
         });
         Problems services = EachService(inf, "", [&inf](const std::string &, const std::vector<std::string> &add,
                                                           Problems *problems) {
             for (const std::string &binary : Values(inf, add.at(2), "SERVICEBINARY"))
                 if (binary.rfind("%12%\\", 0) != 0) problems->push_back(add[0] + " runs " + binary);
         });
         p.insert(p.end(), services.begin(), services.end());
         return p;
     },
     [](Inf &inf) {
         SetValue(inf, "DestinationDirs", "MpsBus_Files", "13");
         SetValue(inf, "DestinationDirs", "MpsFilt_Files", "13");
     }},
};

class StoreRules : public ::testing::TestWithParam<const char *> {};

TEST_P(StoreRules, EachRuleHoldsAndFailsOnceBroken)
{
    const Inf inf = Read(GetParam());
    ASSERT_TRUE(inf.count("MANUFACTURER")) << GetParam();
    for (const Rule &rule : kRules) {
        SCOPED_TRACE(std::string(rule.name) + " [" + rule.source + "]");
        const Problems problems = rule.check(inf);
        EXPECT_TRUE(problems.empty()) << problems.front();
        Inf broken = inf;
        rule.breakIt(broken);
        EXPECT_FALSE(rule.check(broken).empty()) << "the rule does not see it broken";
    }
}

// Windows 10 from build 17763 takes the new models, older Windows the old
// ones: both list the same devices (the older ones are held to the driver's
// identification in board_inf_test.cpp).
TEST_P(StoreRules, TheWindows10ModelsListTheDevicesOfTheOlderOnes)
{
    const Inf inf = Read(GetParam());
    for (const Line &manufacturer : inf.at("MANUFACTURER"))
        for (const char *arch : kArchitectures) {
            const std::string models = Upper(Fields(manufacturer.value)[0]);
            const std::string base = models + ".NT" + Upper(arch);
            // Older x86 Windows read the undecorated models.
            const std::string old = std::string(arch) == "x86" ? models : base;
            std::vector<std::string> older, newer;
            for (const Line &line : inf.at(old)) older.push_back(line.key + "=" + Fields(line.value).at(1));
            for (const Line &line : inf.at(base + Upper(kStore))) newer.push_back(line.key + "=" + Fields(line.value).at(1));
            EXPECT_FALSE(older.empty()) << old;
            EXPECT_EQ(older, newer) << old;
        }
}

INSTANTIATE_TEST_SUITE_P(Package, StoreRules, ::testing::Values(MPS_BOARD_INF, MPS_PORT_INF),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "mpsbus_inf" : "mpsport_inf");
                         });

}  // namespace
