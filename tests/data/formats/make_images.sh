#!/usr/bin/env bash
# Writes the test images beside this script: one small MSP430 program (program.c, linked with our
# own program.ld: code and constants in flash, initialised RAM variables whose initial values live
# in flash, zeroed RAM, and three interrupt vectors with unused vectors between them) in every
# format the tool reads, and a stand-in replacement loader in TI-TXT and S-records:
#   program.elf           clang --target=msp430 and ld.lld
#   program-stripped.elf  the same without section headers (llvm-objcopy --strip-sections)
#   program.hex           llvm-objcopy -O ihex: the reference every other file must load to
#   program.txt           TI-TXT, srec_cat
#   program.s19/.s28/.s37 S-records with 16-, 24- and 32-bit addresses, srec_cat
#   loader.txt, loader.s19  examples/bsl_replacement.hex, converted by srec_cat
# Needs Debian's clang, lld, llvm and srecord. Run it again after changing the program; the
# output is the same on every run.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

clang --target=msp430 -Os -ffreestanding -fno-builtin -c program.c -o "$work/program.o"
ld.lld -T program.ld "$work/program.o" -o program.elf
llvm-objcopy --strip-sections program.elf program-stripped.elf
llvm-objcopy -O ihex program.elf program.hex
chmod 644 program.elf program-stripped.elf program.hex

srec_cat program.hex -intel -o program.txt -ti-txt
srec_cat program.hex -intel -o program.s19 -motorola -address-length=2
srec_cat program.hex -intel -o program.s28 -motorola -address-length=3
srec_cat program.hex -intel -o program.s37 -motorola -address-length=4
srec_cat ../../../examples/bsl_replacement.hex -intel -o loader.txt -ti-txt
srec_cat ../../../examples/bsl_replacement.hex -intel -o loader.s19 -motorola -address-length=2
