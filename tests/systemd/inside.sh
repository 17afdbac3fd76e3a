#!/bin/sh
# Runs in the container as a unit of its systemd (see run.sh): installs the package, serves the
# simulator on a pseudo-terminal as the bridge's switcher and drives the service with systemctl.
# One PASS or FAIL line per check, with what systemd said as the evidence, in out/log; the count
# of failures in out/failed.
out=/srv/sc/out
exec >$out/log 2>&1
echo booted
failed=0
check() {  # name command...: PASS or FAIL
  name=$1
  shift
  if "$@"; then echo "PASS $name"; else echo "FAIL $name"; failed=$((failed + 1)); fi
}
within() {  # seconds command...: true once the command is, polled every 0.1 s
  n=$(($1 * 10))
  shift
  while ! "$@"; do
    n=$((n - 1))
    [ $n -gt 0 ] || return 1
    sleep 0.1
  done
}
unit=switcher-bridge@main
status() { systemctl status --no-pager -l $unit; }
status_says() { status | grep -q "$1"; }
journal_says() { journalctl -q -u $unit --no-pager | grep -q "$1"; }
show() { echo "--- $*"; "$@" 2>&1 | sed 's/^/    /'; }
ms() { echo $(($(date +%s%N) / 1000000)); }
# The router panel protocol's prelude names the inputs: the names the bridge serves.
prelude() { timeout 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/${1:-9990} && sed '/^END PRELUDE:/q' <&3"; }
# The first line of an HTTP answer from the metrics port.
http() { timeout 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1 && printf 'GET $2 HTTP/1.0\r\n\r\n' >&3 && cat <&3"; }
answers() { http "$1" "$2" | head -1 | grep -q " $3 "; }
stopped_clean() { test "$(systemctl show -p ActiveState -p Result "$1" | sort | tr '\n' ' ')" = "ActiveState=inactive Result=success "; }
serves_new_name() { prelude | grep -q '^0 Camera One$'; }
serves_old_name() { prelude >$out/prelude && grep -q '^0 ' $out/prelude && ! grep -q '^0 Camera One$' $out/prelude; }

dpkg -i /srv/sc/switcher-bridge.deb >$out/dpkg 2>&1
rc=$?
check "the package installs with dpkg alone" test $rc = 0
sed 's/^/    /' $out/dpkg
check "adduser says nothing about the user's home" sh -c "! grep -qi 'warn' $out/dpkg"
check "the user's home is a folder that exists" test -d "$(getent passwd switcher-bridge | cut -d: -f6)"

# Simulators on pseudo-terminals as serial adapters would be: root's, group dialout.
simulator() {  # name: starts one, its device in $out/NAME.pty
  : >$out/$1
  /srv/sc/switcher-sim --pty --quiet >$out/$1 2>&1 &
  echo $! >$out/$1.pid
  within 10 grep -q '^PTY ' $out/$1
  sed -n 's/^PTY //p' $out/$1 >$out/$1.pty
  chgrp dialout "$(cat $out/$1.pty)" && chmod 0660 "$(cat $out/$1.pty)"
}
simulator sim-main
simulator sim-monitors
echo "simulators on $(cat $out/sim-main.pty) and $(cat $out/sim-monitors.pty)"

# Two switchers, two instances: each its own folder, ports and MQTT name.
mkdir -p /etc/switcher-bridge/main /etc/switcher-bridge/monitors
printf '[Bridge]\nLink=%s\n[Panel]\nPort=9990\n[Metrics]\nPort=9101\n' "$(cat $out/sim-main.pty)" >/etc/switcher-bridge/main/Switcher.ini
printf '[Bridge]\nLink=%s\n[Panel]\nPort=9991\n[Metrics]\nPort=9102\n' "$(cat $out/sim-monitors.pty)" >/etc/switcher-bridge/monitors/Switcher.ini

t=$(ms)
systemctl start $unit
rc=$? t=$(($(ms) - t))
check "systemctl start $unit returns 0 ($t ms)" test $rc = 0
check "the unit is active after start" systemctl -q is-active $unit
check "systemctl status names the link's state" status_says 'Status: "link \(down\|opening\|identifying\|ready\|lost\)'
# The start returns once the first attempt settled: the switcher is identified by then.
check "start returned with the switcher identified: status says link ready" status_says 'Status: "link ready'
check "and /readyz says so" answers 9101 /readyz 200
check "the instance's settings folder is root's, the bridge's to read" \
  test "$(stat -c '%U:%G %a' /etc/switcher-bridge/main /etc/switcher-bridge/main/Switcher.ini | tr '\n' ' ')" = "root:switcher-bridge 750 root:switcher-bridge 640 "
check "its names live in its own state folder" test "$(readlink /etc/switcher-bridge/main/Names.ini)" = /var/lib/switcher-bridge/main/Names.ini
show status

printf '[Inputs]\n1=Camera One\n' >/etc/switcher-bridge/main/Names.ini
check "a name written to Names.ini is not served before the reload" serves_old_name
systemctl reload $unit >$out/reload 2>&1
rc=$?
check "systemctl reload returns 0" test $rc = 0
sed 's/^/    /' $out/reload
check "the unit is active after reload" systemctl -q is-active $unit
check "the bridge heard the reload" within 5 journal_says 'SIGHUP: reading'
check "and serves the new name" serves_new_name

systemctl enable --now switcher-bridge@monitors >$out/enable 2>&1
rc=$?
check "systemctl enable --now switcher-bridge@monitors returns 0" test $rc = 0
sed 's/^/    /' $out/enable
wanted() { test -L /etc/systemd/system/$1.target.wants/switcher-bridge@$2.service; }
check "an enabled instance starts at boot" wanted multi-user monitors
check "as a part of switcher-bridge.target" wanted switcher-bridge monitors
check "two instances run side by side" systemctl -q is-active $unit switcher-bridge@monitors
ready() { systemctl status --no-pager "$1" | grep -q 'Status: "link ready'; }
check "each with its own switcher identified" ready switcher-bridge@monitors
own_names() { prelude 9991 >$out/prelude2 && grep -q '^0 ' $out/prelude2 && ! grep -q '^0 Camera One$' $out/prelude2; }
check "each serves its own names" own_names
scrapes_both() { http 9101 /metrics | grep -q '^switcher_link_up 1' && http 9102 /metrics | grep -q '^switcher_link_up 1'; }
check "a monitoring system scrapes both" scrapes_both
check "each a process of its own" test "$(systemctl show -p MainPID --value $unit)" != "$(systemctl show -p MainPID --value switcher-bridge@monitors)"
show systemctl status --no-pager switcher-bridge@monitors

# --check on an instance names what another instance on the machine already uses.
sed -i 's/^Port=9991/Port=9990/' /etc/switcher-bridge/monitors/Switcher.ini
switcher-bridge --instance monitors --check >$out/check 2>&1
rc=$?
check "--check names another instance's port (exit $rc)" grep -q 'Port=9990 is the Panel port of instance main' $out/check
check "and exits non-zero" test $rc = 1
sed 's/^/    /' $out/check
sed -i 's/^Port=9990/Port=9991/' /etc/switcher-bridge/monitors/Switcher.ini

# The bridge's user owns the state folders; a link it puts there leads root nowhere.
setpriv --reuid=switcher-bridge --regid=switcher-bridge --clear-groups ln -s /usr/share /var/lib/switcher-bridge/planted
systemctl start switcher-bridge@planted >/dev/null 2>&1
check "an instance whose state folder the bridge's user made a link does not start" sh -c '! systemctl -q is-active switcher-bridge@planted'
check "and root follows no link the bridge's user planted" test "$(stat -c '%U %a' /usr/share)" = "root 755"
systemctl reset-failed switcher-bridge@planted 2>/dev/null

# A hung event loop (the process stopped) misses its watchdog pings: systemd restarts it.
pid=$(systemctl show -p MainPID --value $unit)
kill -STOP "$pid"
restarted() { p=$(systemctl show -p MainPID --value $unit); [ "$p" != 0 ] && [ "$p" != "$pid" ] && systemctl -q is-active $unit; }
check "a hung loop is restarted within the watchdog" within 40 restarted
check "the journal says why" journal_says 'Watchdog timeout'
check "and the new one identifies the switcher" within 10 status_says 'Status: "link ready'
check "the other instance carried on" systemctl -q is-active switcher-bridge@monitors

kill "$(cat $out/sim-main.pid)"
check "killing the simulator shows link lost in the status" within 10 status_says 'Status: "link lost'
check "and in the journal" journal_says 'link lost'
readyz_lost() { http 9101 /readyz >$out/readyz; head -1 $out/readyz | grep -q ' 503 ' && grep -q '^link lost' $out/readyz; }
check "and /readyz says why" readyz_lost
show status

systemctl enable -q switcher-bridge@main
systemctl disable -q switcher-bridge@monitors
check "disabling one instance leaves the other's start at boot" wanted multi-user main

t=$(ms)
systemctl stop switcher-bridge.target
rc=$? t=$(($(ms) - t))
check "systemctl stop switcher-bridge.target returns 0 ($t ms)" test $rc = 0
check "and stops the first instance cleanly" stopped_clean $unit
check "and the second" stopped_clean switcher-bridge@monitors
show journalctl -q -u $unit --no-pager -o cat

# The plain unit of an install from before goes on as it was.
sed -i -e "s|^Link=.*|Link=$(cat $out/sim-monitors.pty)|" /etc/switcher-bridge/Switcher.ini
check "the plain switcher-bridge.service starts" systemctl start switcher-bridge
check "with its switcher identified" ready switcher-bridge
systemctl stop switcher-bridge
check "and stops cleanly" stopped_clean switcher-bridge

for u in switcher-bridge@main.service switcher-bridge.service; do
  systemd-analyze security --no-pager $u >$out/security 2>&1
  echo "SECURITY $(grep -o "exposure level for $u: .*" $out/security)"
done
echo "$failed failed"
echo $failed >$out/failed
