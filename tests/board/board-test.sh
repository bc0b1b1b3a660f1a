#!/usr/bin/env bash
# Board test: the shipped armhf flasher runs on an emulated ARM board under
# Debian's kernel. Its serial port is the board's PL011 UART driven by the
# kernel's driver and wired to the simulated module's terminal; its reset and
# boot-select lines are the board's PL061 GPIO lines (through sysfs or the
# character device; the board's device tree names them) or the UART's DTR and
# RTS outputs, whose levels a follower feeds from QEMU's trace into the module. Three witnesses are checked: QEMU's
# trace (hardware), the guest's results, and the module's log and flash.
#
# Usage: tests/board/board-test.sh --deb PACKAGE.deb --sim SIM --follower FOLLOWER
#          [--out DIR] [--cache DIR] [--only NAME]
# Status 0 when every check passed, 1 when one failed, 77 when qemu or the
# Debian packages are missing (skipped).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb= sim= follower= only=
out=$PWD/board-test
cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tarvion_update/board
while [ $# -gt 1 ]; do
  case $1 in
    --deb) deb=$2 ;; --sim) sim=$2 ;; --follower) follower=$2 ;;
    --out) out=$2 ;; --cache) cache=$2 ;; --only) only=$2 ;;
    *) break ;;
  esac
  shift 2
done
[ $# -eq 0 ] && [ -n "$sim" ] && [ -n "$follower" ] || {
  sed -n 's/^# Usage: //p; s/^#          //p' "$0" >&2
  exit 2
}
skip() {
  echo "board test skipped: $*" >&2
  exit 77
}
for tool in qemu-system-arm cpio dtc dpkg-deb apt-get objcopy timeout arm-linux-gnueabihf-gcc; do
  command -v $tool >/dev/null ||
    skip "$tool is missing (apt-get install --no-install-recommends qemu-system-arm cpio device-tree-compiler)"
done
[ -n "$deb" ] && [ -f "$deb" ] || skip "no static armhf package${deb:+ $deb} (make static builds it)"

# Runs: name, baud, the flasher's pin arguments ({gpio:N}: the sysfs number
# of PL061 line N), the pins the module's reset and boot-select follow (PL061
# line, dtr, rts, !dtr, !rts; - for none, high for strapped high), the
# module's faults (and part), what else happens on the board (hold:N a PL061
# line another process holds, b0 the port left at speed 0, open:S an
# unprivileged open of the port S seconds into the run, again a second update
# without --boot-pin), the expected exit status (with again: of both updates),
# the flash afterwards (stopped: nothing erased or written, the module back in
# its boot loader after the release). A G0 as shipped ignores boot-select once
# it holds an application: its first update through the lines stops before
# the erase; with --boot-pin it is flashed, and so is the update after it.
runs=(
  "flash-115200|115200|--resetpin {gpio:4} --bspin {gpio:5}|4|5|||0|image"
  "flash-921600|921600|--resetpin {gpio:4} --bspin {gpio:5}|4|5|||0|image"
  "module-silent|115200|--resetpin {gpio:4} --bspin {gpio:5}|4|5|--silent||2|erased"
  "erase-refused|115200|--resetpin {gpio:4} --bspin {gpio:5}|4|5|--nack-cmd 0x43:9||2|erased"
  "reset-only|115200|--resetpin {gpio:4}|4|-|||2|erased"
  "reset-only-boot-high|115200|--resetpin {gpio:4}|4|high|||0|image"
  "chip-offsets|115200|--resetpin gpiochip0:4 --bspin gpiochip0:5|4|5|||0|image"
  "chip-names|921600|--resetpin /dev/gpiochip0:MODULE_RESET --bspin gpiochip0:MODULE_BOOT0|4|5|||0|image"
  "dtr-rts|115200|--resetpin dtr --bspin rts|dtr|rts|||0|image"
  "dtr-inverted-rts|921600|--resetpin dtr --bspin !rts|dtr|!rts|||0|image"
  "dtr-rts-second-open|115200|--resetpin dtr --bspin rts|dtr|rts|--erase-ms 900|open:0.5|0|image"
  "inverted-port-at-b0|115200|--resetpin !dtr --bspin !rts|!dtr|!rts||b0|0|image"
  "chip-line-busy|115200|--resetpin gpiochip0:4 --bspin gpiochip0:5|4|5||hold:4|2|untouched"
  "g0-as-shipped|115200|--resetpin {gpio:4} --bspin {gpio:5}|4|5|--part 0x460||2|stopped"
  "g0-boot-pin|115200|--resetpin {gpio:4} --bspin {gpio:5} --boot-pin|4|5|--part 0x460|again|0 0|image"
)
# The board: QEMU's virt machine, whose device tree gains names for the
# PL061's lines (line 3 is the power key).
machine=(-M virt,highmem=off -cpu cortex-a15 -smp 1 -m 256 -nodefaults -display none -monitor none)
line_names='"", "", "", "POWER", "MODULE_RESET", "MODULE_BOOT0", "", ""'

roots_text=$("$here/fetch.sh" "$cache") || exit $?
mapfile -t roots <<<"$roots_text"
kernel_root=${roots[0]}
busybox_root=${roots[1]}
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* 2>/dev/null | head -1)
[ -n "$vmlinuz" ] && [ -x "$busybox_root/bin/busybox" ] || skip "the unpacked packages in $cache are incomplete"

rm -rf "$out"
mkdir -p "$out/guest/bin" "$out/guest/lib"
for d in proc sys dev tmp; do mkdir -p "$out/guest/$d"; done
cp "$busybox_root/bin/busybox" "$out/guest/bin/"
ln -sf busybox "$out/guest/bin/sh"
find "$kernel_root" \( -name virtio_mmio.ko -o -name virtio_console.ko \) -exec cp {} "$out/guest/lib/" \;
dpkg-deb --fsys-tarfile "$deb" | tar -x -O ./usr/bin/tarvion_update >"$out/guest/bin/tarvion_update"
chmod +x "$out/guest/bin/tarvion_update"
for helper in line_holder port_opener; do
  arm-linux-gnueabihf-gcc -static -O2 -Wall -o "$out/guest/bin/$helper" "$here/$helper.c"
done
cp "$here/init" "$out/guest/init"
cp "$here/../../examples/sample.hex" "$out/guest/image.hex"
objcopy -I ihex -O binary "$out/guest/image.hex" "$out/image.bin"
(cd "$out/guest" && find . | cpio -o -H newc --quiet) >"$out/guest.cpio"
qemu-system-arm "${machine[@]}" -machine dumpdtb="$out/virt.dtb" -device virtio-serial-device 2>/dev/null
dtc -q -I dtb -O dts "$out/virt.dtb" |
  sed "/^\tpl061@9030000 {/a\\\t\tgpio-line-names = $line_names;" |
  dtc -q -I dts -O dtb -o "$out/board.dtb"

passed=0 failed=0
report() {
  while IFS= read -r line; do
    echo "  $line"
    case $line in pass:*) passed=$((passed + 1)) ;; FAIL:*) failed=$((failed + 1)) ;; esac
  done
}

source "$here/module-checks.sh"
source "$here/run-board.sh"

test_start=$(date +%s)
for run in "${runs[@]}"; do
  IFS='|' read -r name baud pins reset boot faults guest status flash <<<"$run"
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  echo "== $name: $baud baud, $pins${faults:+, module $faults}${guest:+, board $guest}"
  dir=$out/$name
  report < <(run_board "$dir" "$baud" "$pins" "$reset" "$boot" "$faults" "$guest")
  # A witness that left nothing fails its checks instead of being skipped.
  touch "$dir/trace.log" "$dir/results.txt" "$dir/module.log" "$dir/flash.bin" "$dir/sec0" "$dir/start_ms"
  hold= driven=$boot message= message2= entries=1 runs=1
  # A module that never answers (silent, or running its application) is
  # entered three times through the reset line before the run gives up.
  if [ "$flash" = erased ] && { [ "$faults" = --silent ] || [ "$boot" = - ]; }; then entries=3; fi
  case $guest in
  hold:*) hold=${guest#hold:} message="Can't request line gpiochip0:$hold: Device or resource busy" ;;
  open:*) message="/dev/ttyAMA0: Device or resource busy" ;;
  again)
    message="Option word 0xFFFFFEAA became 0xFEFFFEAA: the boot-select pin counts, and the change lasts until the option bytes are written again"
    runs="1 $entries"
    ;;
  esac
  if [ "$flash" = stopped ]; then
    message="The module ignores its boot-select pin (option word 0xFFFFFEAA): once an application is written, the next update cannot enter the boot loader through it"
    message2="Stopped before the erase: --boot-pin makes the pin count (a lasting change of the option bytes), --leave-options flashes with the option bytes as they are"
  fi
  [ "$guest" = again ] || runs=$entries
  # A strapped boot-select is no line of the board's.
  [ "$boot" != high ] || driven=-
  # A line another process holds is never driven by the flasher.
  [ -n "$hold" ] || report < <(awk -v baud="$baud" -v reset="$reset" -v boot="$driven" -v sec0="$(cat "$dir/sec0")" \
    -v start_ms="$(cat "$dir/start_ms")" -f "$here/hardware.awk" "$dir/trace.log")
  # The kernel drives the PL061 lines; the modem lines only the UART.
  greset=$reset gboot=$driven modem=0 chip=0
  case $reset$boot in *dtr* | *rts*) modem=1 greset=- gboot=- ;; esac
  case $pins in *gpiochip*) chip=1 ;; esac
  [ -z "$hold" ] || greset=-
  report < <(awk -v baud="$baud" -v reset="$greset" -v boot="$gboot" -v status="$status" -v chip="$chip" \
    -v modem="$modem" -v message="$message" -v message2="$message2" -v entries="$runs" -f "$here/guest.awk" "$dir/results.txt")
  report < <(module_checks "$dir" "$boot" "$flash" "$out/image.bin" "$guest" "$entries")
done
echo "board test: $(($(date +%s) - test_start)) s"
echo "$passed passed, $failed failed"
if [ "$failed" -gt 0 ]; then
  echo "artefacts (console, results, trace, module log) kept in $out"
  exit 1
fi
