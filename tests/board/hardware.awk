# Hardware witness: QEMU's trace of the PL011's register writes and the
# PL061's pin changes, stamped with the host's clock. Prints one "pass:" or
# "FAIL:" line per check and, last, "timing:" lines.
# Variables: baud, reset and boot (the pins the module follows: a PL061 line,
# dtr, rts, !dtr or !rts; boot - for none), sec0
# and start_ms (when qemu started: whole seconds of the host clock, and the
# milliseconds after them); times count from qemu's start.
function ms(line,   at, colon, stamp, dot) {
  at = index(line, "@"); colon = index(line, ":")
  stamp = substr(line, at + 1, colon - at - 1); dot = index(stamp, ".")
  return (substr(stamp, 1, dot - 1) - sec0) * 1000 + substr(stamp, dot + 1) / 1000 - start_ms
}
function check(ok, text) { print (ok ? "pass: " : "FAIL: ") text }
function hexval(s,   v, i, c) {
  v = 0; s = tolower(s); sub(/^0x/, "", s)
  for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; v = v * 16 + c }
  return v
}
# PL061 line 7 going high after the flash marks the flasher's end.
nbytes && / setting output 7 to 1$/ { exit }
/pl011_write addr/ {
  t = ms($0); addr = hexval($3); value = hexval($5)
  # mawk takes no hexadecimal constants: LCR_H 0x2c, IBRD 0x24, FBRD 0x28, DR 0.
  if (addr == 44) { lcr = value; if (port_set == "") port_set = t }
  else if (addr == 36) ibrd = value
  else if (addr == 40) fbrd = value
  else if (addr == 48) { modem(t, reset, value); modem(t, boot, value) }
  else if (addr == 0) {
    nbytes++
    if (nbytes == 1) { first_t = t; first_byte = value; first_lcr = lcr; first_ibrd = ibrd; first_fbrd = fbrd }
    last_t = t
    if (level[reset] == "0") low_bytes++
  }
}
/pl061_set_output/ { n = split($0, w, " "); pin(ms($0), w[n - 2], w[n]) }
function pin(t, line, v) {
  level[line] = v
  npin++; pin_t[npin] = t; pin_line[npin] = line; pin_v[npin] = v
}
# A write of the UART's control register: DTR is bit 10, RTS bit 11; the pin
# is low while its signal is asserted, high behind an inverter ("!").
function modem(t, src, cr,   asserted, v) {
  if (src !~ /^!?(dtr|rts)$/) return
  asserted = int(cr / (src ~ /dtr/ ? 1024 : 2048)) % 2
  v = src ~ /^!/ ? asserted : 1 - asserted
  if (level[src] != v "") pin(t, src, v)
}
END {
  if (nbytes == 0) { check(0, "the flasher sent bytes on the UART"); exit }
  check(and_bits(first_lcr) == 102, sprintf("8E1 in LCR_H when the first byte went out (0x%02x)", first_lcr))
  div = first_ibrd + first_fbrd / 64
  rate = div > 0 ? 24000000 / (16 * div) : 0
  err = rate > 0 ? (rate - baud) / baud * 100 : 100
  check(err <= 2 && err >= -2, sprintf("divisor %d+%d/64 gives %.0f baud, %+.2f %% of %d", first_ibrd, first_fbrd, rate, err, baud))
  check(first_byte == 127, sprintf("the first byte is 0x%02x", first_byte))
  # Entry: the last rise of reset before the first byte.
  for (i = 1; i <= npin; i++) {
    if (pin_t[i] > first_t) break
    if (pin_line[i] == reset && pin_v[i] == 1) reset_rise = pin_t[i]
    if (pin_line[i] == boot && pin_v[i] == 1) boot_rise = pin_t[i]
  }
  if (boot != "-")
    check(boot_rise != "" && reset_rise != "" && reset_rise - boot_rise >= 100,
      sprintf("boot-select rose, reset rose %.1f ms later", reset_rise - boot_rise))
  check(reset_rise != "" && first_t - reset_rise >= 10,
    sprintf("the first byte went out %.1f ms after reset rose", first_t - reset_rise))
  check(low_bytes == 0, sprintf("no byte while reset was low (%d of %d)", low_bytes, nbytes))
  # Release: after the last byte reset low, boot-select low, a pause, reset high.
  seq = ""
  for (i = 1; i <= npin; i++) {
    if (pin_t[i] <= last_t) continue
    name = pin_line[i] == reset ? "reset" : pin_line[i] == boot ? "boot" : "line" pin_line[i]
    seq = seq " " name "=" pin_v[i]
    if (name == "boot" && pin_v[i] == 0) boot_fall = pin_t[i]
    if (name == "reset" && pin_v[i] == 0) reset_fall = pin_t[i]
    if (name == "reset" && pin_v[i] == 1) final_rise = pin_t[i]
  }
  if (boot != "-") {
    check(seq == " reset=0 boot=0 reset=1", "after the last byte:" seq)
    text = "reset rose again after boot-select fell"
    if (final_rise != "" && boot_fall != "") text = sprintf("reset rose %.1f ms after boot-select fell", final_rise - boot_fall)
    check(final_rise != "" && boot_fall != "" && final_rise - boot_fall >= 10, text)
  } else {
    check(final_rise != "" && level[reset] == 1, "after the last byte reset rose again:" seq)
  }
  printf "timing: boot (port set up) %.0f ms, first byte %.0f ms, bytes %d, flash %.0f ms\n",
    port_set, first_t, nbytes, last_t - first_t
  if (boot != "-") printf "timing: entry boot-select to reset %.1f ms, reset to first byte %.1f ms; release boot-select to reset %.1f ms, last byte to reset %.1f ms\n",
    reset_rise - boot_rise, first_t - reset_rise, final_rise - boot_fall, final_rise - last_t
}
# LCR_H bits that must be 8E1: WLEN 11, no 2 stop bits, even, parity on, no break.
function and_bits(v) { return int(v / 32) % 4 * 32 + int(v / 8) % 2 * 8 + int(v / 4) % 2 * 4 + int(v / 2) % 2 * 2 + v % 2 }
