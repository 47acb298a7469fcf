#!/usr/bin/env bash
# Writes the example images beside this script, in Intel HEX:
#   blink.hex            a small MSP430F1xx program at 0xF000 with its reset vector: it stops the
#                        watchdog, sets up USART0 for 9600 Bd on ACLK, prints a greeting, then
#                        toggles P1.0 and echoes every received character;
#   bsl_replacement.hex  a stand-in for a replacement bootstrap loader, for trying the loader-1.10
#                        path: a few words of code in RAM from 0x0220, the first word being the
#                        entry address (no reset vector, so the download starts it at that word).
# Both images are ours, encoded by hand below. Run it again after changing the words; the output is
# the same on every run.
set -euo pipefail
cd "$(dirname "$0")"

# Emits data records of up to 16 bytes for the bytes given in hex, starting at the address given.
records() {
    local address=$(( $1 )); shift
    local bytes=("$@") i=0
    while (( i < ${#bytes[@]} )); do
        local n=$(( ${#bytes[@]} - i )); (( n > 16 )) && n=16
        local sum=$(( n + (address >> 8) + (address & 0xFF) )) line
        line=$(printf ':%02X%04X00' "$n" "$address")
        local k
        for (( k = 0; k < n; k++ )); do
            local b=$(( 16#${bytes[i + k]} ))
            line+=$(printf '%02X' "$b")
            sum=$(( sum + b ))
        done
        printf '%s%02X\r\n' "$line" $(( (256 - (sum & 0xFF)) & 0xFF ))
        address=$(( address + n )); i=$(( i + n ))
    done
}

# 16-bit words as little-endian bytes.
words() { local w; for w in "$@"; do printf '%s %s ' "${w:2:2}" "${w:0:2}"; done; }
# Text as bytes, with a terminating zero.
text() { local s=$1 i; for (( i = 0; i < ${#s}; i++ )); do printf '%02X ' "'${s:i:1}"; done; printf '00 '; }
end_record() { printf ':00000001FF\r\n'; }

# blink: code at 0xF000, the output routine at 0xF070, the greeting at 0xF080, a brightness table
# at 0xF100 and the reset vector at 0xFFFE.
blink_code=(
    4031 0A00           # F000 mov   #0x0A00, SP           top of RAM
    40B2 5A80 0120      # F004 mov   #0x5A80, &WDTCTL      stop the watchdog
    D3D2 0022           # F00A bis.b #1, &P1DIR            P1.0 drives the LED
    D0F2 0030 001B      # F00E bis.b #0x30, &P3SEL         P3.4/P3.5 to USART0
    D0F2 00C0 0004      # F014 bis.b #0xC0, &ME1           transmitter and receiver on
    40F2 0011 0070      # F01A mov.b #0x11, &U0CTL         8 data bits, held in reset
    40F2 0010 0071      # F020 mov.b #0x10, &U0TCTL        ACLK
    40F2 0003 0074      # F026 mov.b #3, &U0BR0            32768 / 9600
    43C2 0075           # F02C mov.b #0, &U0BR1
    40F2 004A 0073      # F030 mov.b #0x4A, &U0MCTL        modulation
    C3D2 0070           # F036 bic.b #1, &U0CTL            out of reset
    403E F080           # F03A mov   #greeting, R14
    4E7F                # F03E mov.b @R14+, R15
    930F                # F040 tst   R15
    2403                # F042 jz    F04A
    12B0 F070           # F044 call  #putc
    3FFA                # F048 jmp   F03E
    E3D2 0021           # F04A xor.b #1, &P1OUT            toggle the LED
    403D C350           # F04E mov   #50000, R13
    B0F2 0040 0002      # F052 bit.b #0x40, &IFG1          character received?
    2404                # F058 jz    F062
    425F 0076           # F05A mov.b &U0RXBUF, R15
    12B0 F070           # F05E call  #putc                 echo it
    831D                # F062 dec   R13
    23F6                # F064 jnz   F052
    3FF1                # F066 jmp   F04A
    4303 4303 4303 4303 # F068 nop (padding up to putc)
    B0F2 0080 0002      # F070 bit.b #0x80, &IFG1          putc: wait for the transmitter
    27FC                # F076 jz    F070
    4FC2 0077           # F078 mov.b R15, &U0TXBUF
    4130                # F07C ret
    4303                # F07E nop
)
blink_words=()
for w in "${blink_code[@]}"; do [[ $w == \#* ]] && continue; blink_words+=("$w"); done

ramp=()
for (( i = 0; i < 256; i++ )); do
    # A triangle from 0 up to 254 and back: PWM duty values for a breathing LED.
    v=$(( i < 128 ? 2 * i : 2 * (255 - i) ))
    ramp+=("$(printf '%02X' "$v")")
done

{
    # shellcheck disable=SC2046
    records 0xF000 $(words "${blink_words[@]}") $(text $'bsl430 blink demo\r\n')
    records 0xF100 "${ramp[@]}"
    records 0xFFFE 00 F0
    end_record
} > blink.hex

loader_code=(
    0222                # 0220 entry address
    40B2 5A80 0120      # 0222 mov #0x5A80, &WDTCTL        stop the watchdog
    4031 0A00           # 0228 mov #0x0A00, SP
    3FFF                # 022C jmp $                       stand-in: waits here
)
loader_words=()
for w in "${loader_code[@]}"; do [[ $w == \#* ]] && continue; loader_words+=("$w"); done

{
    # shellcheck disable=SC2046
    records 0x0220 $(words "${loader_words[@]}") $(text 'bsl430 stand-in loader')
    end_record
} > bsl_replacement.hex
