# run_board DIR BAUD PINS RESET BOOT FAULTS GUEST: one power-on of the board
# with the simulated module wired to it; leaves in DIR the console, the
# results, QEMU's trace, the module's log and flash dump. RESET and BOOT are
# the pins the module's lines follow (a PL061 line, dtr, rts, !dtr, !rts; BOOT
# - for none, high for strapped high); GUEST what else happens on the board
# (see init), or empty.
# Needs $sim, $follower, $vmlinuz, $machine, $out/board.dtb and
# $out/guest.cpio. Prints "pass:"/"FAIL:" and "timing:" lines.
run_board() {
  local dir=$1 baud=$2 pins=$3 reset=$4 boot=$5 faults=$6 guest=$7
  # The module's reset is its GPIO 20, its boot-select 22 (low when unwired).
  local follow=(--pin "$reset:20")
  [ "$boot" = - ] || follow+=(--pin "$boot:22")
  mkdir -p "$dir"
  # The run's settings go in a second archive after the shared one.
  mkdir -p "$dir/conf"
  {
    printf 'args="--device /dev/ttyAMA0 --baudrate %s --file /image.hex %s"\n' "$baud" "$pins"
    printf 'guest="%s"\n' "$guest"
  } >"$dir/conf/run.conf"
  (cd "$dir/conf" && echo run.conf | cpio -o -H newc --quiet) | cat "$out/guest.cpio" - >"$dir/initrd.cpio"

  # shellcheck disable=SC2086  # the faults are separate arguments
  "$sim" --sysfs "$dir/sysfs" --reset-gpio 20 --boot-gpio 22 --baud "$baud" \
    --log "$dir/module.log" --dump "$dir/flash.bin" $faults >"$dir/module.out" 2>"$dir/module.err" &
  local sim_pid=$! pty=
  for _ in $(seq 100); do
    # The module's output file may not exist yet: that is no error here.
    pty=$(head -1 "$dir/module.out" 2>/dev/null || true)
    [ -n "$pty" ] && break
    sleep 0.1
  done
  if [ -z "$pty" ]; then
    echo "FAIL: the simulated module got ready ($(cat "$dir/module.err"))"
    kill "$sim_pid" 2>/dev/null
    return
  fi

  # QEMU blocks opening its trace FIFO until the follower reads it.
  mkfifo "$dir/trace.fifo"
  "$follower" --trace "$dir/trace.log" --sysfs "$dir/sysfs" "${follow[@]}" \
    <"$dir/trace.fifo" 2>"$dir/follower.err" &
  local follower_pid=$! start_ns qemu_status=0
  start_ns=$(date +%s%N)
  echo $((start_ns / 1000000000)) >"$dir/sec0"
  echo $((start_ns % 1000000000 / 1000000)) >"$dir/start_ms"
  timeout 120 qemu-system-arm "${machine[@]}" -no-reboot -dtb "$out/board.dtb" -kernel "$vmlinuz" -initrd "$dir/initrd.cpio" -append "console=hvc0 panic=1 quiet" \
    -chardev serial,id=uart,path="$pty" -serial chardev:uart \
    -device virtio-serial-device \
    -chardev file,id=console,path="$dir/console.log" -device virtconsole,chardev=console \
    -chardev file,id=results,path="$dir/results.txt" -device virtserialport,chardev=results,name=results \
    -trace pl011_write -trace pl061_set_output -msg timestamp=on -D "$dir/trace.fifo" \
    2>"$dir/qemu.err" || qemu_status=$?
  local took=$((($(date +%s%N) - start_ns) / 1000000))
  wait "$follower_pid" || true
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  echo "$( [ "$qemu_status" = 0 ] && echo pass || echo FAIL ): the guest powered off (qemu status $qemu_status)"
  echo "timing: power-on to power-off $took ms"
}
