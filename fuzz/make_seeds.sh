#!/usr/bin/env bash
# Writes the seed corpora under fuzz/corpus/, one folder per target. Every seed is made here, by
# hand; the programming-run seeds are the simulated target's answers, recorded by the built fuzz
# target itself. Usage: fuzz/make_seeds.sh <build dir with the fuzz targets>
set -euo pipefail
cd "$(dirname "$0")"
build=${1:?usage: $0 <build dir>}
build=$(cd "$build" && pwd)

seed() {  # seed <target> <name> <printf format> [args...]: one seed file, written with printf
    local target=$1 name=$2
    shift 2
    mkdir -p "corpus/$target"
    # shellcheck disable=SC2059
    printf -- "$@" > "corpus/$target/$name"
}

# ---- Intel HEX files --------------------------------------------------------------------------
t=fuzz_intel_hex
seed $t crlf ':06F000003140000AB2409D\r\n:02FFFE0000F011\r\n:00000001FF\r\n'
seed $t lf ':06F000003140000AB2409D\n:02FFFE0000F011\n:00000001FF\n'
seed $t lowercase ':06f000003140000ab24091\n:00000001ff\n'
seed $t extended ':020000040000FA\n:0400000500000000F7\n:020000021000EC\n:04100000DEADBEEFB4\n:00000001FF\n'
seed $t bases ':020000020E00EE\n:02100000AABB89\n:020000040000FA\n:0100100011DE\n:00000001FF\n'
seed $t after-end ':00000001FF\n:0400000001020304F2\n'
seed $t checksum ':0400000001020304F3\n:00000001FF\n'
seed $t comments '; a comment\n\n   :0400000001020304F2\n:0400040005060708DE\n'
seed $t overlap ':0400000001020304F2\n:020002000A0BE7\n'
seed $t top ':04FFFC00AABBCCDDF3\n:03FFFF00010203F9\n'
seed $t empty '%s' ''
seed $t no-end ':0400000001020304F2'
seed $t short ':0400000001\n:0\n:\n'
seed $t nul ':04000000\00001020304F2\n'
long=$(printf ':FF000000%0510d' 0)
seed $t long-line '%s01\n:00000001FF\n' "$long"
# The other formats the same loader reads: the test program's files, and a few made by hand.
for f in program.elf program-stripped.elf program.txt program.s19 program.s37; do
    cp ../tests/data/formats/$f corpus/$t/$f
done
seed $t ti-txt '\r\n@1a00\r\nab cd\n@FFFE\n00 11\nq\n'
seed $t ti-txt-overlap '@1100\n01 02\n@1101\n03\nq\n'
seed $t srec-types 'S005000048446E\n\nS1051100AB122C\nS5030001FB\r\nS2060100000102F5\nS9031100EB\n'
seed $t srec-checksum 'S1051100AB122C\nS1051102AB1224\nS307FFFFFFFF0102F9\n'

# ---- The program's command line (words separated by NUL) -----------------------------------------
t=fuzz_program_options
seed $t typical '-p\0003\000-v\000on\000-t\000fw.hex'
seed $t attached '--port=2\000--bsl=loader.hex\000--term-baud\0009600\000fw.hex'
seed $t separators '-p:2\000-p#2\000-p2\000-v=1\000=fw.hex'
seed $t device '--device\000sim:version=1.10\000--slow\000--TEST\0001.hex'
seed $t help '-p\0004\000-?'
seed $t unknown '-x\000-port\000--verbose\0002\000-tb'
seed $t bad '-v\000maybe\000-p'
seed $t empty-words '\000\000-b\000\000'

# ---- Every option type, options files and option strings -----------------------------------------
# Words (NUL-separated), then file "a", then file "b", the parts separated by 0x01.
t=fuzz_option_table
seed $t types '-s\000-c\000green\000--mode\000-i\0001,2\0003\000-n\000-f\00050%%,25\000--ratio=2.5e1\000-o\000out\000-I\000x\000-I\000y'
seed $t files '@a\000--file\000b\001-c blue\n-i 1 2 3\n@b\001-o "from b" -n 7'
seed $t self '@a\001@a\001'
seed $t mutual '--file=a\001--file b\001@a'
seed $t macros '--preset\000--profile\000lists\000--profile\0002\000--loop\001-s'
seed $t wide '--wide\000choice39\000--wide\00012\000--mode\000hidden\000x'
seed $t odd '--colour\000RED\000-i\000\000-f\000x\000\000-\000--profile'

# ---- Programming runs: recorded from the simulated target ----------------------------------------
rm -rf corpus/fuzz_programming_run
mkdir -p corpus/fuzz_programming_run
BSL430_FUZZ_MAKE_SEEDS="$PWD/corpus/fuzz_programming_run" "$build/fuzz/fuzz_programming_run"

# ---- Board checks: recorded from simulated chips ---------------------------------------------------
rm -rf corpus/fuzz_board_check
mkdir -p corpus/fuzz_board_check
BSL430_FUZZ_MAKE_SEEDS="$PWD/corpus/fuzz_board_check" "$build/fuzz/fuzz_board_check"

# ---- An rfc2217:// port against a fuzzed server (operations as fuzz_rfc2217_client.cpp reads them)
t=fuzz_rfc2217_client
# The server's opening, the line set up as the programming run does, answers among the data.
seed $t opening '\x0e\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfd\x2c\x68\x00\x69\x6b\x6f\x03\x60\x80\x0a\xff\xfa\x2c\x65\x00\x00\x25\x80\xff\xf0\x90\x40\x02\x6d'
# IAC at every chunk boundary: a doubled 0xFF, a negotiation and a notification cut in pieces.
seed $t split '\x01\x41\xff\x00\xff\x00\xff\x00\xfb\x01\x01\x42\x03\xff\xfa\x2c\x6b\x00\xb0\x00\xff\x00\xf0\x44\x04\x6d'
# A subnegotiation that never ends, then a flood behind it.
seed $t endless '\x03\xff\xfa\x2c\x6b\x70\x03\x41\x5f\x02\x5f\x04'
# A flood of IAC, of negotiations and of data, read and purged.
seed $t flood '\x70\x10\xff\x44\x05\x70\x08\xfb\x6f\x01\x70\x3f\x55\x5f\x00\x5f\x06'
# The server hangs up in the middle of a read; it stops reading while the port writes.
seed $t hangup '\x02\x11\x22\x33\x71\x43\x02\x60\x01'
seed $t stops '\x60\xff\x72\x60\xff\x69\x40\x00'
# The answer to the open's round-trip probe comes only after the open gave up waiting (3 s): the
# reads that wait are stretched by that round trip.
seed $t late-probe-answer '\x0e\xff\xfb\x06\xff\xff\x72\x46\x46\x46\x46\x46\x46\x46\x46\x46\x46\x46\x46\x46\xd8\x60\xbe\xff\x60\xff\xff\x5f\xb0\x00\x00\x7a\xa0\xff\xf0\x90\x40\x02\x6d'

# ---- Virtual board firmware: chip byte, then flash from 0xFFFF down ---------------------------
t=fuzz_virtual_board
seed $t erased '\x00'
seed $t jump-to-self '\x00\xF0\x00\xFF\x3F'
seed $t into-peripherals '\x01\x00\x00\xFF\x3F'
seed $t timer-lpm '\x02\xF0\x00\x40\xB2\x01\x10\x01\x60\xD0\x32\x00\xD8'

# ---- Newer loaders' packets: per host byte a count, then that many answer bytes ----------------
t=fuzz_packet_exchange
z() { printf '\\x00%.0s' $(seq "$1"); }  # `z n`: n host bytes left unanswered
seed $t silent '%s' ''
# The vendor guide's answers: password accepted, version 00 01 01 01; then a bare acknowledge for
# the read and for the baud rate.
seed $t guide "$(z 37)\\x08\\x00\\x80\\x02\\x00\\x3B\\x00\\x60\\xC4$(z 5)\\x0B\\x00\\x80\\x05\\x00\\x3A\\x00\\x01\\x01\\x01\\x6C\\x4F$(z 10)\\x01\\x00$(z 6)\\x01\\x00"
# Locked: every command answered with message 04.
seed $t locked "$(z 37)\\x08\\x00\\x80\\x02\\x00\\x3B\\x04\\xE4\\x84$(z 5)\\x08\\x00\\x80\\x02\\x00\\x3B\\x04\\xE4\\x84"

# ---- The newer families' loader: chip and set-up byte (bits 0-1 the chip F5529, F5438A, FR5969,
# FR2355; bit 2 unlocked first; bits 3-4 the faults), then the host's bytes --------------------
t=fuzz_newer_loader
seed $t version '\x04\x80\x01\x00\x19\xE8\x62\x80\x01\x00\x1A\x8B\x52'
seed $t read-and-start '\x04\x80\x06\x00\x18\x00\x5C\x00\x1F\x00\x92\x30\x80\x04\x00\x17\x00\x5C\x00\x98\x85'
seed $t classic-sync '\x02\x80\x80\x80\x80\x01\x00\x19\xE8\x62'
seed $t wrong-password '\x03\x80\x21\x00\x11\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2A\x62'
seed $t write-and-check '\x0C\x80\x08\x00\x10\x00\x44\x00\x01\x02\x03\x04\x38\x6D\x80\x06\x00\x10\xFE\x43\x02\xBE\xEF\x89\x4E\x80\x06\x00\x16\x00\x44\x00\x00\x01\x39\x2D'
seed $t erases '\x14\x80\x01\x00\x13\xA2\xC3\x80\x04\x00\x12\x80\x19\x00\xBE\xF0\x80\x01\x00\x15\x64\xA3'
seed $t long-read-fast '\x06\x80\x02\x00\x52\x06\x14\x15\x80\x06\x00\x18\x00\x44\x00\x2C\x01\x11\xEE'
seed $t bad-packets '\x1D\x12\x80\x00\x00\xFF\x80\x05\x01\x00\x80\x01\x00\x19\xE8\x63\x80\x02\x00\x52\x07'
