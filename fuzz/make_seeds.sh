#!/bin/sh
# Regenerates the seed corpora in fuzz/corpus/ from the test fixtures, the
# examples and a few small Intel HEX files made with srec_cat (package
# srecord) and objcopy (package binutils), and S-record and ELF files made
# with the ARM cross toolchain (gcc-arm-linux-gnueabihf; CROSS names another
# prefix). Seeds stay small: the fuzzer
# mutates them, it need not be given whole firmware images.
set -eu
cd "$(dirname "$0")"
root=..
fixtures=$root/tests/fixtures/image
ihex=corpus/ihex
conf=corpus/conffile
cmd=corpus/cmdline
srec=corpus/srec
elf=corpus/elf
parts=corpus/partsfile
CROSS=${CROSS:-arm-linux-gnueabihf-}
rm -rf "$ihex" "$conf" "$cmd" "$srec" "$elf" "$parts"
mkdir -p "$ihex" "$conf" "$cmd" "$srec" "$elf" "$parts"

# Intel HEX: the test fixtures, the head of the sample firmware, and raw
# binary (a first line that is not Intel HEX).
cp "$fixtures"/*.hex "$ihex"/
{ head -n 24 "$root/examples/sample.hex"; tail -n 1 "$root/examples/sample.hex"; } \
  > "$ihex/sample_head.hex"
head -c 96 "$fixtures/data.bin" > "$ihex/raw.bin"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 200 "$fixtures/data.bin" > "$tmp/small.bin"
# 16-bit addresses only, no extended records.
srec_cat "$tmp/small.bin" -binary -offset 0x0100 -o "$ihex/srec_plain.hex" -intel -obs=16
# Extended segment address records, which the reader passes over.
srec_cat "$tmp/small.bin" -binary -offset 0x1FFC0 -o "$ihex/srec_segment.hex" -intel \
  -address-length=3 -obs=32
# Data ending at the top of the 32-bit address space, a start address.
srec_cat "$tmp/small.bin" -binary -offset 0xFFFFFF38 -execution-start-address=0xFFFFFF39 \
  -o "$ihex/srec_top.hex" -intel -obs=64
# Lower-case digits and CR LF line ends.
tr 'A-F' 'a-f' < "$ihex/srec_plain.hex" | sed 's/$/\r/' > "$ihex/srec_lower_crlf.hex"
# An object with two sections far apart.
head -c 40 "$fixtures/data.bin" > "$tmp/a.bin"
objcopy -I binary -O elf32-i386 -B i386 "$tmp/a.bin" "$tmp/a.o"
objcopy --add-section .b="$tmp/small.bin" --set-section-flags .b=alloc,load,contents \
  --change-section-address .data=0x0800FFF0 --change-section-address .b=0x20000000 \
  --set-start 0x08000101 "$tmp/a.o" "$tmp/b.o"
objcopy -O ihex "$tmp/b.o" "$ihex/objcopy_two.hex"

# S-record: the fixture (S0, S3, S7), the same image moved down so that
# objcopy writes S2 and S1 records, and a short file with a record count.
cp "$fixtures/firmware.srec" "$srec/firmware.srec"
${CROSS}objcopy -O srec --srec-len=32 --change-addresses=-0x07FF0000 \
  "$fixtures/firmware.elf" "$srec/s2.srec"
${CROSS}objcopy -O srec --change-addresses=-0x08000000 -j .data "$fixtures/firmware.elf" \
  "$srec/s1.srec"
printf 'S00600004844521B\r\nS107010001020304ED\r\nS5030001FB\r\nS9030100FB\r\n\032' \
  > "$srec/count_crlf.srec"

# ELF: the fixture as the build leaves it, the same stripped, and an
# executable with code only.
cp "$fixtures/firmware.elf" "$elf/firmware.elf"
${CROSS}objcopy --strip-all "$fixtures/firmware.elf" "$elf/stripped.elf"
${CROSS}objcopy --strip-all -R .data "$fixtures/firmware.elf" "$elf/code_only.elf"

# Configuration files: the example and one line of every kind the reader
# knows.
cp "$root/examples/tarvion_update.conf" "$conf/example.conf"
printf '%s\n' '# every kind of line' '' 'device = /dev/ttyS1' \
  "file='/lib/firmware/a b#c.hex'  # quoted" 'b 57600' 'r=0x11' 's = 021' \
  'testid=-2147483648' 'waitack' 'uart   # flag' 'verbose#x' 'conffile=' > "$conf/kinds.conf"
printf 'device="/dev/ttyUSB0"\r\nbaudrate=921600\r\nshowid\r\nfile = fw.hex\r\n' \
  > "$conf/crlf.conf"
printf 'file="x" y\n' > "$conf/malformed.conf"
printf "device='/dev/tty\n" > "$conf/unterminated.conf"
# A line of 2047 characters, the longest the reader takes, and one longer.
printf 'file="%s"\n' "$(head -c 2040 /dev/zero | tr '\0' x)" > "$conf/longest_line.conf"
printf 'file="%s"\n' "$(head -c 2041 /dev/zero | tr '\0' x)" > "$conf/too_long_line.conf"

# Command lines: arguments separated by NUL bytes.
n=0
args() { n=$((n + 1)); printf '%s\0' "$@" > "$cmd/args$n"; }
args --file=fw.hex --device=/dev/ttyS2 -b 230400 --resetpin=17 --bspin 18
args -Ffw.hex -i0x410 -v -S -f/tmp/x.conf
args --waitack --uart --showid --file fw.hex -- -x
args --dev=/dev/ttyS0 --baud=0x2580 -r 010 -s ' 7' -F fw.hex
args -vv -F a -F b
args --bogus -b 12x
args --list-parts --parts=my.parts -d /dev/ttyS2

# Parts files: the test fixture, and every form of the fields, CR LF ended.
cp "$root/tests/fixtures/parts/test.parts" "$parts/test.parts"
printf '%s\r\n' '# forms' \
  '0x413 "F4 F405/407/415/417" 4x16K,1x64K,7x128K 4 0x44 0x1FFF7A22@0x1FFF7A00+256' \
  '0x417 "L0 L05x/L06x" 512x128 8 0x44-pages 0x1FF8007C@0x1FF80000+128' \
  '474 H5 - 16 0x44' '0x410 F1 128x1k 4 0x43 0x1FFFF7E0@0x1FFFF7E0+2  # direct' \
  '0x4F0 "Custom board" 32X2048 8 0x44 0x1FFF75E0' > "$parts/forms.parts"
