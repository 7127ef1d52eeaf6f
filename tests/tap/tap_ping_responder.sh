#!/usr/bin/env bash
# One TAP interface, in a network namespace of its own, and the built-in responder on the far
# end of the emulated cable: pings to the responder's address cross the driver both ways and
# all come back; the responder's count and the driver's counters say so. Needs root,
# /dev/net/tun, ip netns and ping; fails saying which is missing.
#
# Usage: tap_ping_responder.sh BRIDGE_COMMAND...   (qvnet tap)
set -uo pipefail

BRIDGE=("$@")
RESPONDER=192.168.213.2  # where qvnet tap's responder answers
PINGS=5

fail() { echo "FAIL: $*" >&2; exit 1; }

[ ${#BRIDGE[@]} -gt 0 ] || fail "no bridge command given"
[ "$(id -u)" -eq 0 ] || fail "needs root (CAP_NET_ADMIN) to create TAP interfaces and namespaces"
[ -c /dev/net/tun ] || fail "/dev/net/tun is missing (no TUN/TAP support)"
for tool in ip ping timeout python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

tag="qr$$"
ns="${tag}n"; ifname="${tag}0"
log=$(mktemp); summary=$(mktemp)
bridge_pid=""

cleanup() {
  [ -n "$bridge_pid" ] && kill -KILL "$bridge_pid" 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -f "$log" "$summary"
}
trap cleanup EXIT

ip netns add "$ns" || fail "ip netns does not work here"
"${BRIDGE[@]}" --ifname "$ifname" --json >"$summary" 2>"$log" &
bridge_pid=$!
for _ in $(seq 100); do
  ip link show "$ifname" >/dev/null 2>&1 && break
  kill -0 "$bridge_pid" 2>/dev/null || { cat "$log"; fail "the bridge exited before its interface appeared"; }
  sleep 0.1
done
ip link set dev "$ifname" netns "$ns" || fail "cannot move $ifname into $ns"
ip -n "$ns" addr add 192.168.213.1/24 dev "$ifname"
ip -n "$ns" link set "$ifname" up

echo "== ping the responder at $RESPONDER through the driver"
timeout 30 ip netns exec "$ns" ping -c "$PINGS" -i 0.2 -W 3 "$RESPONDER" \
  || { cat "$log"; fail "not every ping came back"; }

kill -INT "$bridge_pid"
for _ in $(seq 100); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && fail "the bridge did not stop within 10 s of SIGINT"
wait "$bridge_pid"; status=$?; bridge_pid=""
[ "$status" -eq 0 ] || { cat "$log" "$summary"; fail "the bridge exited with status $status"; }

python3 - "$summary" "$PINGS" <<'CHECK' || fail "the accounts disagree"
import json, sys
run, pings = json.load(open(sys.argv[1])), int(sys.argv[2])
tap = run["tap"]
print("echo replies %d, ARP replies %d, frames %s" % (tap["echo_replies"], tap["arp_replies"], run["frames"]))
ok = run["ok"] and run["verifier"]["clean"] and tap["echo_replies"] >= pings \
     and tap["arp_replies"] >= 1 and run["frames"]["indicated"] >= pings
sys.exit(0 if ok else 1)
CHECK
echo "PASS"
