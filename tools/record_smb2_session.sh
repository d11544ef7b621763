#!/usr/bin/env bash
# Records the SMB2 session behind tests/data/capture/smb2_session.hex: a
# guest share of Debian's samba on 127.0.0.1, smbclient putting, getting,
# renaming to a name with "," and "&", deleting twice, making and removing a
# folder, captured on loopback and written as a text2pcap hex dump with UTC
# times. Needs root and the packages samba, smbclient, tshark and python3.
# The tests rebuild the capture with
#   TZ=UTC text2pcap -q -t "%Y-%m-%d %H:%M:%S.%f" smb2_session.hex out.pcap
set -euo pipefail
out="${1:-tests/data/capture/smb2_session.hex}"
work="$(mktemp -d)"
mkdir -p "$work"/{share,state,priv,lock,cache}
chmod 777 "$work/share"
cat > "$work/smb.conf" <<CONF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = 445
  map to guest = Bad User
  server min protocol = SMB2_02
  server signing = disabled
  disable netbios = yes
  load printers = no
  disable spoolss = yes
  state directory = $work/state
  private dir = $work/priv
  lock directory = $work/lock
  cache directory = $work/cache
  pid directory = $work/lock
  log file = $work/log.%m
[share]
  path = $work/share
  guest ok = yes
  guest only = yes
  read only = no
  force user = root
CONF
smbd -D --configfile="$work/smb.conf"
sleep 2
tshark -i lo -f "tcp port 445" -w "$work/cap.pcap" -F pcap >/dev/null 2>&1 &
capture=$!
sleep 3
printf 'quarterly figures\n' > "$work/report.txt"
(cd "$work" && { echo 'put report.txt'; sleep 1.5; echo 'get report.txt fetched.txt'; sleep 1.5
  echo 'rename report.txt "Q1, costs & fees é.txt"'; sleep 1.5
  echo 'del "Q1, costs & fees é.txt"'; echo 'del "Q1, costs & fees é.txt"'; sleep 1.5
  echo 'mkdir folder'; echo 'rmdir folder'; sleep 0.5; echo quit; } \
  | smbclient //127.0.0.1/share -N -m SMB3 --option='client signing=off') || true
sleep 2
kill -INT "$capture"
wait "$capture" || true
kill "$(cat "$work/lock/smbd.pid")"
python3 - "$work/cap.pcap" > "$out" <<'PY'
import struct, sys, time
data = open(sys.argv[1], "rb").read()
assert struct.unpack("<I", data[:4])[0] == 0xA1B2C3D4, "microsecond pcap expected"
assert struct.unpack("<I", data[20:24])[0] == 1, "Ethernet capture expected"
pos = 24
while pos + 16 <= len(data):
    sec, usec, incl, _ = struct.unpack("<IIII", data[pos:pos + 16])
    frame = data[pos + 16:pos + 16 + incl]
    pos += 16 + incl
    print(time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(sec)) + ".%06d" % usec)
    for off in range(0, len(frame), 16):
        print("%06x %s" % (off, " ".join("%02x" % b for b in frame[off:off + 16])))
    print()
PY
rm -rf "$work"
echo "written: $out"
