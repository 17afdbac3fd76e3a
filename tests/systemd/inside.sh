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
status() { systemctl status --no-pager -l switcher-bridge; }
status_says() { status | grep -q "$1"; }
journal_says() { journalctl -q -u switcher-bridge --no-pager | grep -q "$1"; }
show() { echo "--- $*"; "$@" 2>&1 | sed 's/^/    /'; }
ms() { echo $(($(date +%s%N) / 1000000)); }
# The router panel protocol's prelude names the inputs: the names the bridge serves.
prelude() { timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/9990 && sed "/^END PRELUDE:/q" <&3'; }
serves_new_name() { prelude | grep -q '^0 Camera One$'; }
serves_old_name() { prelude >$out/prelude && grep -q '^0 ' $out/prelude && ! grep -q '^0 Camera One$' $out/prelude; }

dpkg -i /srv/sc/switcher-bridge.deb >$out/dpkg 2>&1
rc=$?
check "the package installs with dpkg alone" test $rc = 0
sed 's/^/    /' $out/dpkg
check "adduser says nothing about the user's home" sh -c "! grep -qi 'warn' $out/dpkg"
check "the user's home is a folder that exists" test -d "$(getent passwd switcher-bridge | cut -d: -f6)"

# The simulator's pseudo-terminal as a serial adapter would be: root's, group dialout.
: >$out/sim
/srv/sc/switcher-sim --pty --quiet >$out/sim 2>&1 &
sim=$!
within 10 grep -q '^PTY ' $out/sim
pty=$(sed -n 's/^PTY //p' $out/sim)
chgrp dialout "$pty" && chmod 0660 "$pty"
sed -i -e "s|^Link=.*|Link=$pty|" -e '/^\[Panel\]/,/^\[/ s/^Port=.*/Port=9990/' /etc/switcher-bridge/Switcher.ini
echo "simulator on $pty"

t=$(ms)
systemctl start switcher-bridge
rc=$? t=$(($(ms) - t))
check "systemctl start returns 0 ($t ms)" test $rc = 0
check "the unit is active after start" systemctl -q is-active switcher-bridge
check "systemctl status names the link's state" status_says 'Status: "link \(down\|opening\|identifying\|ready\|lost\)'
# The start returns once the first attempt settled: the switcher is identified by then.
check "start returned with the switcher identified: status says link ready" status_says 'Status: "link ready'
show status

printf '[Inputs]\n1=Camera One\n' >/etc/switcher-bridge/Names.ini
check "a name written to Names.ini is not served before the reload" serves_old_name
systemctl reload switcher-bridge >$out/reload 2>&1
rc=$?
check "systemctl reload returns 0" test $rc = 0
sed 's/^/    /' $out/reload
check "the unit is active after reload" systemctl -q is-active switcher-bridge
check "the bridge heard the reload" within 5 journal_says 'SIGHUP: reading'
check "and serves the new name once reload returned" serves_new_name

# A hung event loop (the process stopped) misses its watchdog pings: systemd restarts it.
pid=$(systemctl show -p MainPID --value switcher-bridge)
kill -STOP "$pid"
restarted() { p=$(systemctl show -p MainPID --value switcher-bridge); [ "$p" != 0 ] && [ "$p" != "$pid" ] && systemctl -q is-active switcher-bridge; }
check "a hung loop is restarted within the watchdog" within 40 restarted
check "the journal says why" journal_says 'Watchdog timeout'
check "and the new one identifies the switcher" within 10 status_says 'Status: "link ready'

kill $sim
check "killing the simulator shows link lost in the status" within 10 status_says 'Status: "link lost'
check "and in the journal" journal_says 'link lost'
show status

t=$(ms)
systemctl stop switcher-bridge
rc=$? t=$(($(ms) - t))
check "systemctl stop returns 0 ($t ms)" test $rc = 0
check "the stop is clean: $(systemctl show -p ActiveState -p Result switcher-bridge | tr '\n' ' ')" \
  test "$(systemctl show -p ActiveState -p Result switcher-bridge | sort | tr '\n' ' ')" = "ActiveState=inactive Result=success "
show journalctl -q -u switcher-bridge --no-pager -o cat

systemd-analyze security --no-pager switcher-bridge.service >$out/security 2>&1
echo "SECURITY $(grep -o 'exposure level for switcher-bridge.service: .*' $out/security)"
echo "$failed failed"
echo $failed >$out/failed
