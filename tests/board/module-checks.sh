# module_checks DIR BOOT FLASH IMAGE: the module's witness, its log and its
# flash dump after the run. BOOT is - when boot-select is not wired; FLASH is
# "image" (IMAGE at the flash base, the rest erased), "erased", or "untouched"
# (erased, and the module never in its boot loader).
module_checks() {
  local dir=$1 boot=$2 flash=$3 image=$4 log=$1/module.log
  check() { if [ "$1" = 0 ]; then echo "pass: $2"; else echo "FAIL: $2"; fi; }
  local size expected=$dir/expected-flash.bin
  size=$(stat -c %s "$image")
  if [ "$flash" = image ]; then
    { cat "$image"; head -c $((131072 - size)) /dev/zero | tr '\0' '\377'; } >"$expected"
  else
    head -c 131072 /dev/zero | tr '\0' '\377' >"$expected"
  fi
  cmp -s "$expected" "$dir/flash.bin"
  check $? "flash holds $([ "$flash" = image ] && echo "the image ($size bytes) and the rest erased" || echo "nothing (all erased)")"

  local erases writes want_erases=0 want_writes=0
  erases=$(grep -c ' event erase' "$log" || true)
  writes=$(awk '$2 == "event" && $3 == "write" { n++; s += $5 } END { printf "%d %d", n, s }' "$log")
  if [ "$flash" = image ]; then
    want_erases=1
    want_writes="$(((size + 255) / 256)) $size"
  else
    want_writes="0 0"
  fi
  [ "$erases" = "$want_erases" ]
  check $? "$erases erase(s), expected $want_erases"
  [ "$writes" = "$want_writes" ]
  check $? "writes (count, bytes): $writes, expected $want_writes"
  if [ "$flash" = image ]; then
    ! grep -q ' tx 1f' "$log"
    check $? "no refusal from the module"
  fi
  local events
  events=$(awk '$2 == "event" && $3 == "restart" { printf " %s", $4 }' "$log")
  if [ "$flash" = untouched ]; then
    check "$(case $events in *boot*) echo 1 ;; *) echo 0 ;; esac)" "restarts:$events (never the boot loader)"
  elif [ "$boot" = - ]; then
    check "$([ "$events" = " app" ] && echo 0 || echo 1)" "restarts:$events (the application only)"
  else
    check "$([ "$events" = " boot app" ] && echo 0 || echo 1)" \
      "restarts:$events (the boot loader first, the application last)"
  fi
}
