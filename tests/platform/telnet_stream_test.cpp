// The Telnet stream: byte streams as network serial port servers and clients send them, decoded
// whole and split in two at every boundary, and the negotiation policy, which must answer each
// request once and never answer an answer. (The encoders' bytes are checked on the wire by the
// rfc2217:// port's tests.)
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/network/telnet_stream.h"

namespace telnet = platform::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string hex(std::uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

// Data bytes as hex, commands in angle brackets, in stream order; the stream is fed in pieces
// that end at `cuts`.
std::string decode(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    telnet::Decoder decoder;
    std::string text;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (std::size_t end : ends) {
        Bytes data;
        auto flush = [&] {
            for (std::uint8_t b : data) {
                text += hex(b);
                text += ' ';
            }
            data.clear();
        };
        decoder.feed(stream.data() + from, end - from, data, [&](const telnet::Command& c) {
            flush();
            text += '<';
            text += hex(c.verb);
            text += ' ';
            text += hex(c.option);
            for (std::size_t k = 0; k < c.size; ++k) {
                text += ' ';
                text += hex(c.value[k]);
            }
            if (c.truncated) text += " ...";
            text += ">";
        });
        flush();
        from = end;
    }
    return text;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(TelnetDecoder, RecordedStreamsInAnySplit) {
    using namespace telnet;
    Bytes longSub = {kIac, kSb, kOptComPort, 107};
    for (int i = 0; i < 100; ++i) longSub.push_back(static_cast<std::uint8_t>(i));
    longSub = longSub + Bytes{kIac, kSe, 0x41};
    std::string longText = "<FA 2C 6B";
    for (std::size_t i = 0; i < Command::kMaxValue - 1; ++i) {
        longText += ' ';
        longText += hex(static_cast<std::uint8_t>(i));
    }
    longText += " ...>41 ";

    struct Case {
        const char* what;
        Bytes stream;
        std::string expected;
    };
    const Case cases[] = {
        {"plain data", {0x80, 0x00, 0x90}, "80 00 90 "},
        {"doubled 0xFF is one data byte", {0x80, kIac, kIac, kIac, kIac, 0x90}, "80 FF FF 90 "},
        {"a server's opening negotiation between data bytes",
         {kIac, kWill, kOptBinary, 0x90, kIac, kDo, kOptComPort, kIac, kWill, kOptSuppressGoAhead},
         "<FB 00>90 <FD 2C><FB 03>"},
        {"a speed answer: 9600 Bd",
         {0x90, kIac, kSb, kOptComPort, 101, 0x00, 0x00, 0x25, 0x80, kIac, kSe, 0xA0},
         "90 <FA 2C 65 00 00 25 80>A0 "},
        {"0xFF inside a subnegotiation value is undoubled",
         {kIac, kSb, kOptComPort, 101, 0x00, 0x00, kIac, kIac, 0x00, kIac, kSe},
         "<FA 2C 65 00 00 FF 00>"},
        {"modem state notification",
         {kIac, kSb, kOptComPort, 107, 0xB0, kIac, kSe},
         "<FA 2C 6B B0>"},
        {"other Telnet commands are reported, not data",
         {0x01, kIac, kNop, kIac, kGa, kIac, kSe, 0x02},
         "01 <F1 00><F9 00><F0 00>02 "},
        {"IAC before a byte that is no command keeps the byte", {kIac, 0x41, 0x42}, "41 42 "},
        {"a subnegotiation cut short by a negotiation is dropped, the negotiation kept",
         {kIac, kSb, kOptComPort, 105, 0x08, kIac, kWill, kOptBinary, 0x55},
         "<FB 00>55 "},
        {"a subnegotiation cut short by a new one: only the new one counts",
         {kIac, kSb, kOptComPort, 105, kIac, kSb, kOptComPort, 112, 0x03, kIac, kSe},
         "<FA 2C 70 03>"},
        {"an empty subnegotiation names nothing", {kIac, kSb, kIac, kSe, 0x33}, "33 "},
        {"a subnegotiation without a value", {kIac, kSb, kOptComPort, kIac, kSe}, "<FA 2C>"},
        {"an overlong subnegotiation keeps its start and is marked", longSub, longText},
        {"a subnegotiation that never ends swallows what follows, nothing more",
         {kIac, kSb, kOptComPort, 101, 0x41, 0x42, 0x43},
         ""},
        {"a stream ending inside IAC yields nothing yet", {0x10, kIac}, "10 "},
        {"a stream ending before the option", {0x10, kIac, kDo}, "10 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.stream, {}), c.expected);
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            ASSERT_EQ(decode(c.stream, {cut}), c.expected);
        }
    }
}

TEST(TelnetOptionPolicy, AnswersOnlyWhatChangesState) {
    using namespace telnet;
    // A client's side: it offers COM-PORT-OPTION, accepts BINARY and SGA both ways.
    struct Step {
        const char* what;
        std::uint8_t verb, option;  // received; 0 verb: our own requests at the start
        Bytes answer;
    };
    const Step steps[] = {
        {"our requests",
         0,
         0,
         {kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort}},
        {"the peer agrees to our DO: no answer", kWill, kOptBinary, {}},
        {"the peer agrees to our WILL: no answer", kDo, kOptBinary, {}},
        {"the peer repeats itself: no answer", kWill, kOptBinary, {}},
        {"the peer asks for an accepted option",
         kWill,
         kOptSuppressGoAhead,
         {kIac, kDo, kOptSuppressGoAhead}},
        {"the peer asks us for an accepted option",
         kDo,
         kOptSuppressGoAhead,
         {kIac, kWill, kOptSuppressGoAhead}},
        {"an option we do not accept is refused", kWill, 24, {kIac, kDont, 24}},
        {"and refused once more when asked again, never accepted", kWill, 24, {kIac, kDont, 24}},
        {"we are asked for an option we do not do", kDo, 1, {kIac, kWont, 1}},
        {"the peer refuses our COM-PORT-OPTION: no answer", kDont, kOptComPort, {}},
        {"the peer turns BINARY off: acknowledged once",
         kWont,
         kOptBinary,
         {kIac, kDont, kOptBinary}},
        {"and again: no answer", kWont, kOptBinary, {}},
        {"the peer turns it on again", kWill, kOptBinary, {kIac, kDo, kOptBinary}},
        {"the peer tells us to stop a disabled option: no answer", kDont, 1, {}},
    };
    OptionPolicy policy({kOptBinary, kOptSuppressGoAhead, kOptComPort},
                        {kOptBinary, kOptSuppressGoAhead});
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        Bytes out;
        if (s.verb == 0) {
            policy.requestLocal(out, kOptBinary);
            policy.requestRemote(out, kOptBinary);
            policy.requestLocal(out, kOptComPort);
            policy.requestLocal(out, kOptComPort);  // a second request sends nothing
        } else {
            policy.receive(out, s.verb, s.option);
        }
        EXPECT_EQ(out, s.answer);
    }
    EXPECT_TRUE(policy.localEnabled(kOptBinary));
    EXPECT_TRUE(policy.remoteEnabled(kOptBinary));
    EXPECT_TRUE(policy.remoteEnabled(kOptSuppressGoAhead));
    EXPECT_FALSE(policy.localEnabled(kOptComPort));
    EXPECT_FALSE(policy.remoteEnabled(24));

    // A client and a server that both ask for everything at once settle within two exchanges.
    OptionPolicy client({kOptBinary, kOptSuppressGoAhead, kOptComPort},
                        {kOptBinary, kOptSuppressGoAhead});
    OptionPolicy server({kOptBinary, kOptSuppressGoAhead},
                        {kOptBinary, kOptSuppressGoAhead, kOptComPort});
    Bytes toServer, toClient;
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead, kOptComPort})
        client.requestLocal(toServer, o);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead}) client.requestRemote(toServer, o);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead}) server.requestLocal(toClient, o);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead}) server.requestRemote(toClient, o);
    int rounds = 0;
    Decoder atServer, atClient;
    while ((!toServer.empty() || !toClient.empty()) && rounds++ < 10) {
        Bytes a, b, ignored;
        atServer.feed(toServer.data(), toServer.size(), ignored,
                      [&](const Command& c) { server.receive(a, c.verb, c.option); });
        atClient.feed(toClient.data(), toClient.size(), ignored,
                      [&](const Command& c) { client.receive(b, c.verb, c.option); });
        toClient = a;
        toServer = b;
    }
    EXPECT_LE(rounds, 2);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead}) {
        EXPECT_TRUE(client.localEnabled(o) && client.remoteEnabled(o));
        EXPECT_TRUE(server.localEnabled(o) && server.remoteEnabled(o));
    }
    EXPECT_TRUE(client.localEnabled(kOptComPort));
    EXPECT_TRUE(server.remoteEnabled(kOptComPort));
}
