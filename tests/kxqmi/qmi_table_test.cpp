#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "kxqmi/qmi_table.h"
#include "kxqmi/qmi_value.h"

using namespace kxqmi;

namespace {

std::string Decode(uint8_t service, uint16_t message, uint8_t direction, uint8_t type,
                   const std::vector<uint8_t> &value, bool showSecrets = false) {
    const TlvRow *row = FindTlv(service, message, direction, type);
    if (!row)
        return "(no row)";
    return DecodeValue(row->layout, value.data(), value.size(), showSecrets);
}

} // namespace

TEST(QmiTable, EveryRowIsWellFormedAndUnambiguous) {
    std::set<std::tuple<int, int, int, int>> seen;
    for (const TlvRow &row : Tlvs()) {
        std::string why;
        EXPECT_TRUE(CheckLayout(row.layout, &why)) << row.name << ": " << why;
        if (row.service != kAnyService && row.message != kAnyMessage) {
            EXPECT_NE(nullptr, FindMessage(row.service, row.message)) << row.name;
        }
        EXPECT_NE(0, row.directions & kDirAny) << row.name;
        for (uint8_t d : {kDirRequest, kDirResponse, kDirIndication}) {
            if (row.directions & d) {
                EXPECT_TRUE(seen.insert({row.service, row.message, d, row.type}).second)
                    << "two rows for " << row.name;
            }
        }
    }
    std::set<std::pair<int, int>> messages;
    for (const MessageRow &m : Messages()) {
        EXPECT_NE(nullptr, FindService(m.service)) << m.name;
        EXPECT_TRUE(messages.insert({m.service, m.id}).second) << "two rows for " << m.name;
    }
    std::set<std::pair<std::string, uint32_t>> labels;
    for (const EnumRow &e : Enums())
        EXPECT_TRUE(labels.insert({e.enumeration, e.value}).second)
            << e.enumeration << " " << e.value;
}

// A value's name is one field of the capture dissector (qmi.v.NAME), typed
// by its kind: a name must keep one kind of value across the table.
TEST(QmiTable, EachValueNameHasOneKindOfValue) {
    auto category = [](const std::string &kind) {
        if (kind == "ipv4")
            return "address";
        if (kind[0] == 'i' || kind == "neg8")
            return "signed";
        if (kind[0] == 'u' || kind[0] == 'x' || kind[0] == 'n')
            return "unsigned";
        return "text";
    };
    std::map<std::string, std::string> seen;
    for (const TlvRow &row : Tlvs()) {
        for (const LayoutField &f : LayoutFields(row.layout)) {
            auto it = seen.emplace(f.name, category(f.kind)).first;
            EXPECT_EQ(it->second, category(f.kind)) << f.name << " in " << row.name;
        }
    }
    EXPECT_EQ("unsigned", seen["mcc"]);
    EXPECT_EQ("text", seen["mcc_digits"]);
}

TEST(QmiTable, LayoutsThatAreWrongAreFound) {
    std::string why;
    EXPECT_FALSE(CheckLayout("u8:a u7:b", &why));
    EXPECT_FALSE(CheckLayout("u8:a=no_such_enumeration", &why));
    EXPECT_FALSE(CheckLayout("n8:list{ u8:a", &why));
    EXPECT_FALSE(CheckLayout("u8:a }", &why));
    EXPECT_FALSE(CheckLayout("str:a u8:b", &why)); // nothing can follow the rest of the value
    EXPECT_FALSE(CheckLayout("u8:list{ u8:a }", &why));
    EXPECT_TRUE(CheckLayout("n16:list{ u8:a n8:inner{ u16:b } }", &why)) << why;
}

TEST(QmiTable, LookupsPreferTheMessagesOwnRows) {
    EXPECT_STREQ("result", FindTlv(kWds, kWdsStartNetwork, kDirResponse, kTlvResult)->name);
    EXPECT_EQ(nullptr, FindTlv(kWds, kWdsStartNetwork, kDirRequest, kTlvResult));
    // The same type means different things in a reply and in an indication.
    EXPECT_STRNE(FindTlv(kWds, kWdsGetPacketServiceStatus, kDirResponse, kTlvFirst)->layout,
                 FindTlv(kWds, kWdsGetPacketServiceStatus, kDirIndication, kTlvFirst)->layout);
    EXPECT_STREQ("supported messages",
                 FindTlv(kNas, kGetSupportedMessages, kDirResponse, 0x10)->name);
    EXPECT_STREQ("DMS", ServiceName(kDms));
    EXPECT_STREQ("ServingSystem", MessageName(kNas, kNasGetServingSystem));
    EXPECT_STREQ("INVALID_QMI_CMD", ErrorName(kErrInvalidQmiCmd));
    EXPECT_STREQ("error?", ErrorName(0x7777));
    EXPECT_STREQ("NAS", EnumLabel("service", kNas));
    EXPECT_EQ(nullptr, EnumLabel("service", 0x1234));
}

TEST(QmiValues, NumbersEnumerationsAndAddresses) {
    // -70 dBm on UMTS, as the module answers a signal strength request.
    EXPECT_EQ("signal_strength_dbm=-70 radio_interface=umts(5)",
              Decode(kNas, kNasGetSignalStrength, kDirResponse, kTlvFirst, {0xBA, 0x05}));
    EXPECT_EQ(
        "rssi_list=[rssi_dbm=-70 radio_interface=umts(5)]",
        Decode(kNas, kNasGetSignalStrength, kDirResponse, kTlvRssiList, {0x01, 0x00, 0x46, 0x05}));
    // Addresses are 32-bit little-endian numbers: 10.64.0.2.
    EXPECT_EQ("ipv4_address=10.64.0.2", Decode(kWds, kWdsGetCurrentSettings, kDirResponse,
                                               kCsIpv4Address, {0x02, 0x00, 0x40, 0x0A}));
    EXPECT_EQ("result=failure(1) error=CALL_FAILED(14)",
              Decode(kWds, kWdsStartNetwork, kDirResponse, kTlvResult, {1, 0, 0x0E, 0}));
    EXPECT_EQ("packet_data_handle=0x4b580001",
              Decode(kWds, kWdsStartNetwork, kDirResponse, kTlvFirst, {0x01, 0x00, 0x58, 0x4B}));
    // A value without a label is shown as its number.
    EXPECT_EQ("connection_status=9",
              Decode(kWds, kWdsGetPacketServiceStatus, kDirResponse, kTlvFirst, {9}));
    EXPECT_EQ("services=[service=CTL(0) major=1 minor=5; service=WDS(1) major=1 minor=14]",
              Decode(kCtl, kCtlGetVersionInfo, kDirResponse, kTlvFirst,
                     {2, 0, 1, 0, 5, 0, 1, 1, 0, 14, 0}));
}

TEST(QmiValues, TextListsAndBitLists) {
    EXPECT_EQ("mcc=1 mnc=1 description=\"KxTel\"",
              Decode(kNas, kNasGetHomeNetwork, kDirResponse, kTlvFirst,
                     {1, 0, 1, 0, 5, 'K', 'x', 'T', 'e', 'l'}));
    EXPECT_EQ("apn=\"a\\\"b\\x01\"",
              Decode(kWds, kWdsStartNetwork, kDirRequest, kSnApn, {'a', '"', 'b', 1}));
    EXPECT_EQ("messages=[0x0003 0x001e 0x0020]", Decode(kNas, kGetSupportedMessages, kDirResponse,
                                                        0x10, {5, 0, 0x08, 0, 0, 0x40, 0x01}));
    const TlvRow *info = FindTlv(kNas, kNasGetSystemInfo, kDirResponse, kTlvWcdmaSystemInfo);
    std::vector<uint8_t> v(33, 0);
    v[20] = '0', v[21] = '0', v[22] = '1', v[23] = '0', v[24] = '1', v[25] = 0xFF;
    std::string text = DecodeValue(info->layout, v.data(), v.size(), false);
    EXPECT_NE(std::string::npos, text.find("mcc_digits=\"001\" mnc_digits=\"01\" ")) << text;
    EXPECT_EQ(std::string::npos, text.find("(short)")) << text;
}

TEST(QmiValues, ShortAndLongValuesAreSaidSo) {
    EXPECT_EQ("signal_strength_dbm=-70 (short)",
              Decode(kNas, kNasGetSignalStrength, kDirResponse, kTlvFirst, {0xBA}));
    EXPECT_EQ("connection_status=connected(2) (+2 bytes)",
              Decode(kWds, kWdsGetPacketServiceStatus, kDirResponse, kTlvFirst, {2, 0, 0}));
    // A list claiming more elements than the value holds.
    EXPECT_EQ(
        "rssi_list=[rssi_dbm=-70 radio_interface=umts(5); (short)",
        Decode(kNas, kNasGetSignalStrength, kDirResponse, kTlvRssiList, {0x02, 0x00, 0x46, 0x05}));
    EXPECT_EQ("mcc=1 mnc=1 (short)",
              Decode(kNas, kNasGetHomeNetwork, kDirResponse, kTlvFirst, {1, 0, 1, 0, 9, 'K'}));
    EXPECT_EQ("(short)", Decode(kNas, kGetSupportedMessages, kDirResponse, 0x10, {200, 0, 1}));
}

TEST(QmiValues, SecretsAreMaskedUnlessAskedFor) {
    const TlvRow *row = FindTlv(kWds, kWdsStartNetwork, kDirRequest, kSnPassword);
    ASSERT_NE(nullptr, row);
    EXPECT_TRUE(LayoutHasSecret(row->layout));
    EXPECT_FALSE(
        LayoutHasSecret(FindTlv(kWds, kWdsStartNetwork, kDirRequest, kSnUserName)->layout));
    EXPECT_EQ("password=********",
              Decode(kWds, kWdsStartNetwork, kDirRequest, kSnPassword, {'k', 'x'}));
    EXPECT_EQ("password=\"kx\"",
              Decode(kWds, kWdsStartNetwork, kDirRequest, kSnPassword, {'k', 'x'}, true));
}
