# Guest witness: the results the guest's /init sent (exit status, termios,
# exported lines, the kernel's gpio trace, the flasher's errors). One
# "pass:"/"FAIL:" line per check. Variables: baud, status (expected; two
# words for two updates, the second's after the first's), reset,
# boot (the PL061 lines the kernel drives for the flasher, - for none: with
# reset - no level is checked), chip (1: character-device lines, which are
# requested at their first level), modem (1: the flasher drives modem lines),
# message and message2 (lines the flasher or the board's other process must
# print, or empty), entries (how often the flasher enters the boot loader: 3
# when the module never answers; two words for two updates).
function check(ok, text) { print (ok ? "pass: " : "FAIL: ") text }
# A level the kernel's trace shows: only changes count.
function level(name, v) { if (lv[name] != v "") { expected = expected " " name "=" v; lv[name] = v } }
/^status / { got_status = $2 }
/^status2 / { got_status2 = $2 }
/^base / { base = $2; rg = reset != "-" ? base + reset : -1; bg = boot != "-" ? base + boot : -1 }
/^--- / { section = $2; next }
section == "stty" { stty = stty " " $0 }
(section == "stderr" || section == "guest") && $0 == message { said = 1 }
(section == "stderr" || section == "guest") && $0 == message2 { said2 = 1 }
section == "exported" && NF { exported = exported " " $1 }
# A named line is listed also while free; a requested one names its consumer.
section == "requested" && ($1 == "gpio-" rg || $1 == "gpio-" bg) && /\|/ { requested = requested " " $1 }
section == "gpio" && /gpio_direction:|gpio_value:/ {
  for (i = 1; i <= NF; i++) if ($i ~ /^gpio_(direction|value):$/) break
  t = $(i - 1); sub(/:$/, "", t); gpio = $(i + 1)
  if ($i == "gpio_direction:" && $(i + 2) == "out") out[gpio] = 1
  if ($i == "gpio_value:" && $(i + 2) == "set") {
    name = gpio == rg ? "reset" : gpio == bg ? "boot" : "gpio" gpio
    # Making a line an output sets its level too; count changes only.
    if ((gpio in last) && last[gpio] == $(i + 3)) next
    last[gpio] = $(i + 3)
    n++; seq = seq " " name "=" $(i + 3); vt[n] = t * 1000; vn[n] = name; vv[n] = $(i + 3)
  }
}
END {
  nst = split(status, st, " ")
  check(got_status != "" && got_status == st[1], sprintf("exit status %s (expected %s)", got_status, st[1]))
  if (nst > 1) check(got_status2 == st[2], sprintf("second update's exit status %s (expected %s)", got_status2, st[2]))
  check(stty ~ ("speed " baud " baud") && stty ~ / parenb/ && stty !~ /-parenb/ && stty ~ /-parodd/ &&
    stty ~ / cs8/ && stty ~ /-cstopb/, "termios: " baud " baud, cs8, even parity, one stop bit")
  check(stty ~ / inpck/ && stty ~ / ignpar/, "termios: inpck ignpar (a byte with a parity error is dropped)")
  if (modem) check(stty ~ /-hupcl/, "termios: -hupcl (a close leaves the modem lines as they are)")
  if (message != "") check(said, "the flasher said: " message)
  if (message2 != "") check(said2, "the flasher said: " message2)
  check(base != "" && exported == "" && requested == "", "the lines were released (exported:" exported ", requested:" requested ")")
  if (rg < 0) exit
  check(out[rg] && (bg < 0 || out[bg]), "the kernel saw reset" (bg < 0 ? "" : " and boot-select") " made outputs")
  # Each entry sets its lines up again: a sysfs line made an output starts low.
  expected = ""
  nruns = split(entries, en, " ")
  for (r = 1; r <= (nruns > 0 ? nruns : 1); r++) {
    for (k = 0; k < (en[r] > 1 ? en[r] : 1); k++) {
      level("reset", 0)
      if (bg >= 0) { level("boot", 0); level("boot", 1) }
      level("reset", 1)
    }
    level("reset", 0)
    if (bg >= 0) level("boot", 0)
    level("reset", 1)
  }
  if (chip) gsub(/ boot=0 boot=1/, " boot=1", expected)
  check(seq == expected, "the kernel's level order:" seq)
  for (i = 1; i <= n; i++) {
    if (vn[i] == "boot" && vv[i] == 1 && brise == "") brise = vt[i]
    if (vn[i] == "boot" && vv[i] == 0) bfall = vt[i]
    if (vn[i] == "reset" && vv[i] == 0 && rfall == "") rfall = vt[i]
    if (vn[i] == "reset" && vv[i] == 1) { if (rrise == "") rrise = vt[i]; else rlast = vt[i] }
  }
  if (bg < 0)
    check(rfall != "" && rrise != "" && rrise - rfall >= 100, sprintf("kernel: reset rose %.1f ms after it fell", rrise - rfall))
  if (bg >= 0) {
    check(rrise != "" && brise != "" && rrise - brise >= 100,
      sprintf("kernel: reset rose %.1f ms after boot-select", rrise - brise))
    text = "kernel: reset rose again after boot-select fell"
    if (rlast != "" && bfall != "") text = sprintf("kernel: reset rose %.1f ms after boot-select fell", rlast - bfall)
    check(rlast != "" && bfall != "" && rlast - bfall >= 10, text)
  }
}
