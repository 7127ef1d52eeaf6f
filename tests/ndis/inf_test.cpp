// The INF reader on small INFs: how a line's text becomes a registry value, what the advanced
// properties and a fresh install's values come out as, and the messages for malformed text.
#include <gtest/gtest.h>

#include <string>

#include "emulator/ndis/config.h"
#include "emulator/ndis/inf.h"

namespace {

using emu::ndis::InfReadResult;
using emu::ndis::ReadInf;

constexpr const char* kId = "USB\\VID_5156&PID_0101";

// An INF whose one install writes the lines of `reg`; `strings` joins [Strings]. The reg
// lines start at line 10.
std::string Inf(const std::string& reg, const std::string& strings = "") {
    return "[Version]\n"
           "Signature = \"$Windows NT$\"\n"
           "[Manufacturer]\n"
           "%Mfg% = Models\n"
           "[Models]\n"
           "%Desc% = Install, USB\\VID_1111&PID_2222, usb\\vid_5156&pid_0101\n"
           "[Install]\n"
           "AddReg = Reg\n"
           "[Reg]\n" +
           reg +
           "\n[Strings]\n"
           "Mfg = \"Maker\"\n"
           "Desc = \"The Adapter\"\n" +
           strings;
}

TEST(InfReader, TurnsEachLineIntoTheValueItWrites) {
    struct Case {
        const char* name;
        std::string reg;
        std::string strings;
        const char* subkey;
        const char* value;
        uint32_t flags;
        const char* data;
    } cases[] = {
        {"quoted commas and semicolons", "HKR, , A, 0, \"a, b; c\"", "", "", "A", 0, "a, b; c"},
        {"doubled quotes", "HKR, , A, 0, \"say \"\"hi\"\"\"", "", "", "A", 0, "say \"hi\""},
        {"comment after the line", "HKR, , A, 0, \"x\" ; not \"part\", of it", "", "", "A", 0,
         "x"},
        {"string key, any case", "HKR, , A, 0, %shown%", "Shown = \"Shown Name\"\n", "", "A", 0,
         "Shown Name"},
        {"%% and a directory id", "HKR, , A, 0x00020000, \"%%SystemRoot%%\\%12%\\x\"", "", "",
         "A", 0x20000, "%SystemRoot%\\%12%\\x"},
        {"blanks around unquoted fields", "HKR ,  Ndi\\Interfaces  , A , 0 ,  two words  ", "",
         "Ndi\\Interfaces", "A", 0, "two words"},
        {"continued line", "HKR, , A, 0, \\\n   \"joined\"", "", "", "A", 0, "joined"},
        {"no flags, no data", "HKR, Ndi, A", "", "Ndi", "A", 0, ""},
        {"a number", "HKR, , A, 0x00010001, 7", "", "", "A", 0x10001, "7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InfReadResult inf = ReadInf(Inf(c.reg, c.strings), kId);
        ASSERT_TRUE(inf.ok) << inf.error;
        EXPECT_EQ(inf.model.device_description, "The Adapter");
        ASSERT_EQ(inf.model.adapter_key.size(), 1u);
        const emu::ndis::InfRegValue& value = inf.model.adapter_key[0];
        EXPECT_EQ(value.subkey, c.subkey);
        EXPECT_EQ(value.name, c.value);
        EXPECT_EQ(value.flags, c.flags);
        EXPECT_EQ(value.data, c.data);
    }
}

TEST(InfReader, GathersAdvancedPropertiesAndTheInstalledValues) {
    const std::string reg =
        "HKR, Ndi\\params\\Count, ParamDesc, 0, %Count%\n"
        "HKR, Ndi\\params\\Count, Type,      0, \"int\"\n"
        "HKR, Ndi\\params\\Count, Default,   0, \"20\"\n"
        "HKR, Ndi\\params\\Count, Min,       0, \"3\"\n"
        "HKR, Ndi\\params\\Count, Max,       0, \"0x40\"\n"
        "HKR, Ndi\\params\\Count, Step,      0, \"1\"\n"
        "HKR, NDI\\Params\\Mode,  ParamDesc, 0, \"Mode\"\n"
        "HKR, NDI\\Params\\Mode,  Type,      0, \"enum\"\n"
        "HKR, Ndi\\params\\Mode\\enum, \"0\", 0, %Off%\n"
        "HKR, Ndi\\params\\mode\\Enum, \"1\", 0, \"On\"\n"
        "HKR, Ndi\\params\\Addr,  ParamDesc, 0, \"Address\"\n"
        "HKR, Ndi\\params\\Addr,  Type,      0, \"edit\"\n"
        "HKR, Ndi\\params\\Addr,  Optional,  0, \"1\"\n"
        "HKR, Ndi\\params\\Addr,  LimitText, 0, \"12\"\n"
        "HKR, Ndi\\params\\Addr,  UpperCase, 0, \"1\"\n"
        "HKR, , Count, 0, \"20\"\n"
        "HKR, , Wide,  0x00010001, 0x10\n";
    InfReadResult inf = ReadInf(Inf(reg, "Count = \"How Many\"\nOff = \"Switched Off\"\n"), kId);
    ASSERT_TRUE(inf.ok) << inf.error;
    const emu::ndis::InfModel& model = inf.model;
    ASSERT_EQ(model.params.size(), 3u);

    const emu::ndis::InfParam* count = model.Param("COUNT");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->description, "How Many");
    EXPECT_TRUE(count->IsNumber());
    EXPECT_EQ(count->default_value, "20");
    EXPECT_FALSE(count->optional);
    EXPECT_EQ(count->min, 3);
    EXPECT_EQ(count->max, 64);
    EXPECT_EQ(count->step, 1);

    const emu::ndis::InfParam* mode = model.Param("Mode");
    ASSERT_NE(mode, nullptr);
    ASSERT_EQ(mode->choices.size(), 2u);
    EXPECT_EQ(mode->choices[0].value, "0");
    EXPECT_EQ(mode->choices[0].text, "Switched Off");
    EXPECT_EQ(mode->choices[1].text, "On");
    EXPECT_FALSE(mode->min.has_value());

    const emu::ndis::InfParam* address = model.Param("Addr");
    ASSERT_NE(address, nullptr);
    EXPECT_TRUE(address->optional);
    EXPECT_TRUE(address->upper_case);
    EXPECT_EQ(address->limit_text, 12);

    EXPECT_EQ(model.install_values.size(), 2u);
    emu::ndis::ConfigStore store;
    emu::ndis::ApplyInstallDefaults(store, model);
    const auto* installed = store.Find(u"count");
    ASSERT_NE(installed, nullptr);
    EXPECT_TRUE(installed->is_text) << "the registry holds the text the INF wrote";
    EXPECT_EQ(installed->text, u"20");
    const auto* wide = store.Find(u"Wide");
    ASSERT_NE(wide, nullptr);
    EXPECT_FALSE(wide->is_text);
    EXPECT_EQ(wide->integer, 16u);
    EXPECT_EQ(store.Find(u"Mode"), nullptr) << "only the key's own values are installed";
    EXPECT_EQ(store.Find(u"ParamDesc"), nullptr);
}

TEST(InfReader, RefusesMalformedTextWithAMessageThatSaysWhere) {
    const std::string type = "HKR, Ndi\\params\\X, Type, 0, \"int\"\n";
    const std::string desc = "HKR, Ndi\\params\\X, ParamDesc, 0, \"X\"\n";
    struct Case {
        const char* name;
        std::string text;
        const char* hardware_id;
        const char* error;
    } cases[] = {
        {"unterminated quote", Inf("HKR, , A, 0, \"open"), kId, "line 10: unterminated quoted"},
        {"unknown string key", Inf("HKR, , A, 0, %Nope%"), kId,
         "line 10: unknown string key %Nope%"},
        {"lone percent", Inf("HKR, , A, 0, 50%"), kId, "line 10: '%' without its closing"},
        {"header without ]", Inf("[Other\nHKR, , A"), kId, "line 10: section name without"},
        {"another root", Inf("HKLM, Software\\Q, A, 0, \"1\""), kId,
         "line 10: 'HKLM': only the adapter's key"},
        {"too few fields", Inf("HKR, Ndi"), kId, "line 10: an AddReg line is"},
        {"too many fields", Inf("HKR, , A, 0, a, b"), kId, "line 10: an AddReg line is"},
        {"flags not a number", Inf("HKR, , A, zero, \"1\""), kId, "line 10: flags 'zero'"},
        {"parameter without Type", Inf(desc), kId, "Ndi\\params\\X has no Type"},
        {"parameter without ParamDesc", Inf(type), kId, "Ndi\\params\\X has no ParamDesc"},
        {"unknown Type", Inf(desc + "HKR, Ndi\\params\\X, Type, 0, \"slider\""), kId,
         "unknown Type 'slider'"},
        {"enum without choices", Inf(desc + "HKR, Ndi\\params\\X, Type, 0, \"enum\""), kId,
         "is an enum without choices"},
        {"choices on a number", Inf(desc + type + "HKR, Ndi\\params\\X\\enum, \"0\", 0, \"Z\""),
         kId, "has choices but is not an enum"},
        {"Max not a number", Inf(desc + type + "HKR, Ndi\\params\\X, Max, 0, \"lots\""), kId,
         "Ndi\\params\\X Max: 'lots' is not a number"},
        {"text before any section", "Signature = \"$Windows NT$\"\n" + Inf(""), kId,
         "line 1: text before the first section"},
        {"no signature", Inf("").substr(std::string("[Version]\nSignature = \"$Windows NT$\"\n").size()),
         kId, "no [Version] Signature"},
        {"missing AddReg section", Inf("[Install]\nAddReg = Gone"), kId,
         "no AddReg section [Gone]"},
        {"no model for the device", Inf(""), "USB\\VID_5156&PID_0102",
         "no model for hardware id USB\\VID_5156&PID_0102"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InfReadResult inf = ReadInf(c.text, c.hardware_id);
        EXPECT_FALSE(inf.ok);
        EXPECT_NE(inf.error.find(c.error), std::string::npos) << inf.error;
        EXPECT_TRUE(inf.model.params.empty());
    }
}

}  // namespace
