// The steps a programming run asks of the chip's loader, one table per loader family. The run
// (control/programming_sequence.cpp) and the download (image/image_download.cpp) speak to the
// loader only through these steps, so a family with another protocol is another table beside
// the classic one (classic_family.cpp).
#pragma once

#include <cstdint>

// What the identification step reads: the chip type and the loader's version, as the run prints
// them ("#CHIP type: %04X", "#BSL ver: %02X.%02X").
struct LoaderIdentity {
    unsigned chipType = 0;
    unsigned major = 0;
    unsigned minor = 0;
};

// A block failed its check: the chip holds other bytes than were written.
constexpr int kBlockDiffers = -1;
// The loader said no to the password it was given (unlockWith).
constexpr int kPasswordRefused = -2;

// What a wrong password would cost the chip, as its loader is known before any password is sent.
enum class WrongPasswordCost {
    Nothing,     // the loader stays locked and says no
    ErasesFlash  // the loader erases the firmware (or may: it cannot be told)
};

// Every step but enter and finish returns 0 or the step's own failure, a small number that the
// run turns into its error number as it does for the classic loader's results (1 to 3).
struct LoaderFamily {
    const char* name;
    // The chip's addresses lie below this: 0x10000, or 0x100000 for 20-bit addresses.
    std::uint32_t addressSpace;
    // Starts the loader: the control lines' entry sequence on a port at 9600 Bd.
    void (*enter)();
    // Erases the chip and unlocks the loader. The result is the run's error number: 0, the erase's
    // failure + 0, or the password's failure + 3.
    int (*eraseAndUnlock)();
    // Reads the chip type and the loader version.
    int (*identify)(LoaderIdentity& identity);
    // Moves both ends of the link to the family's fast speed.
    int (*speedUp)();
    // The largest block (bytes, even) that writeBlock and verifyBlock take.
    int (*blockLimit)();
    // Writes `length` bytes at `address`. kBlockDiffers, with `differsAt` the offset of the first
    // byte known to differ, when the family checks the block as it writes it and it fails.
    int (*writeBlock)(std::uint32_t address, const std::uint8_t* bytes, int length, int& differsAt);
    // Reads the block back and compares it: kBlockDiffers with `differsAt` on a mismatch.
    int (*verifyBlock)(std::uint32_t address, const std::uint8_t* bytes, int length,
                       int& differsAt);
    // Starts the code at `address` (the replacement loader's entry).
    int (*startAt)(std::uint32_t address);
    // Ends the programming: the chip is reset into its firmware (the reset line held for a while;
    // the board's release lets it run).
    void (*finish)();

    // Reading a board without changing it: these neither erase nor write.
    // Learns, after enter and without sending a password, what a wrong one would cost. `identity`
    // holds what the loader told of itself, `known` whether it told anything.
    int (*wrongPasswordCost)(WrongPasswordCost& cost, LoaderIdentity& identity, bool& known);
    // Unlocks the loader with `password`, the 32 bytes of the chip's vector area (0xFFE0 on):
    // kPasswordRefused when the loader says no.
    int (*unlockWith)(const std::uint8_t* password);
    // Reads `length` bytes (at most blockLimit) at `address` into `into`.
    int (*readBlock)(std::uint32_t address, std::uint8_t* into, int length);
};

// The classic ROM loader of the F1xx/F2xx/F4xx chips.
extern const LoaderFamily classicLoaderFamily;

// The loader of the F5xx, F6xx, FR5xx, FR6xx, FR2xx and FR4xx chips (packet_family.cpp).
extern const LoaderFamily packetLoaderFamily;
// Asks whether a newer loader listens (after the entry sequence): kPacketOk when one answered.
int probePacketLoader();

// The family of the run this thread makes (runLoaderFamily; the classic one until a run says
// otherwise).
const LoaderFamily& loaderFamily();
