// The error table.
#include <gtest/gtest.h>

#include <string>

#include "control/error_messages.h"

namespace {

struct MessageCase {
    int number;
    const char* message;
};

class ErrorMessages : public testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessages, LooksUpTheTable) {
    EXPECT_STREQ(errorMessage(GetParam().number), GetParam().message) << GetParam().number;
}

constexpr const char* kSync = "chybna odpoved BSL na SYNC";
constexpr const char* kPacket = "chybna odpoved BSL na paket";
constexpr const char* kReturned = "chybny vraceny paket";
constexpr const char* kHex = "Chyba pri nacitani IntelHEX";
constexpr const char* kSend = "Chyba pri posilani dat";
constexpr const char* kReadBack = "Chyba pri vycitani naprogramovanych dat";
constexpr const char* kCompare = "Chyba pri kontrole naprogramovanych dat";
constexpr const char* kStart = "Chyba pri spousteni programu v RAM";
constexpr const char* kUnknown = "neznama chyba";

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorMessages,
    testing::Values(
        // The three loader answers repeat through all nine groups.
        MessageCase{1, kSync}, MessageCase{2, kPacket}, MessageCase{3, kReturned},
        MessageCase{13, kSync}, MessageCase{17, kPacket}, MessageCase{25, kSync},
        MessageCase{26, kPacket}, MessageCase{27, kReturned},
        // The five download results repeat through the three groups.
        MessageCase{30, kHex}, MessageCase{34, kStart}, MessageCase{35, kHex},
        MessageCase{36, kSend}, MessageCase{37, kReadBack}, MessageCase{38, kCompare},
        MessageCase{39, kStart}, MessageCase{40, kHex}, MessageCase{43, kCompare},
        MessageCase{44, kStart}, MessageCase{50, "Nefunguje komunikace s GSM modemem"},
        MessageCase{51, "Chyba pri vycitani IMEI z GSM"}, MessageCase{52, "Chybna pevna cast IMEI"},
        MessageCase{53, "Chybny rozsah serioveho cisla"}, MessageCase{60, "paketovy rezim?"},
        MessageCase{70, "chybny carovy kod"},
        // Gaps, edges and numbers outside the table.
        MessageCase{0, kUnknown}, MessageCase{28, kUnknown}, MessageCase{29, kUnknown},
        MessageCase{45, kUnknown}, MessageCase{49, kUnknown}, MessageCase{54, kUnknown},
        MessageCase{61, kUnknown}, MessageCase{69, kUnknown}, MessageCase{71, kUnknown},
        MessageCase{-1, kUnknown}, MessageCase{-35, kUnknown}, MessageCase{2147483647, kUnknown},
        MessageCase{-2147483647 - 1, kUnknown}),
    [](const testing::TestParamInfo<MessageCase>& info) {
        const long long n = info.param.number;
        std::string name = n < 0 ? "minus" : "n";
        name += std::to_string(n < 0 ? -n : n);
        return name;
    });

}  // namespace
