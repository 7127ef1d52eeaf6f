#!/usr/bin/env bash
# Real Linux traffic through the driver: two TAP interfaces, one per network namespace of its
# own, the hosted driver and the emulated cable between them. Pings (IPv4, and IPv6 both ways)
# must all come back, and iperf3's TCP throughput must be what full-speed USB carries: a few
# Mb/s and below 9.7 Mb/s (the bus's bulk data, both directions together). Needs root,
# /dev/net/tun, ip netns, ping and iperf3; fails saying which is missing.
#
# The bridge's own account must agree with the driver's counters and with the capture of the
# wire: what the driver says it sent and received is what crossed.
#
# Usage: tap_ping_iperf.sh BRIDGE_COMMAND...   (qvnet tap: takes --ifname, --wire-ifname,
#                                               --pcap and --json)
set -uo pipefail

BRIDGE=("$@")  # the command that bridges the two interfaces, without the interface options
MIN_MBPS=1.0
MAX_MBPS=9.7

fail() { echo "FAIL: $*" >&2; exit 1; }

[ ${#BRIDGE[@]} -gt 0 ] || fail "no bridge command given"
[ "$(id -u)" -eq 0 ] || fail "needs root (CAP_NET_ADMIN) to create TAP interfaces and namespaces"
[ -c /dev/net/tun ] || fail "/dev/net/tun is missing (no TUN/TAP support)"
for tool in ip ping iperf3 timeout tshark python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

tag="qv$$"
ns_host="${tag}h"; ns_far="${tag}f"
if_host="${tag}h0"; if_far="${tag}f0"
addr_host=10.213.$(( $$ % 200 + 20 )).1; addr_far=${addr_host%.1}.2
# The host's low 24 bits differ from its link-local address's, so its solicited-node group
# (where the far end's neighbour solicitations go) is one only its own report names.
addr6_host=fd00:213:$(( $$ % 200 + 20 ))::a1; addr6_far=${addr6_host%::a1}::2
log=$(mktemp); iperf_out=$(mktemp); summary=$(mktemp); capture_dir=$(mktemp -d)
bridge_pid=""; server_pid=""

cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$bridge_pid" ] && kill -KILL "$bridge_pid" 2>/dev/null
  ip netns del "$ns_host" 2>/dev/null
  ip netns del "$ns_far" 2>/dev/null
  rm -rf "$log" "$iperf_out" "$summary" "$capture_dir"
}
trap cleanup EXIT

ip netns add "$ns_host" || fail "ip netns does not work here"
ip netns add "$ns_far" || fail "ip netns does not work here"

"${BRIDGE[@]}" --ifname "$if_host" --wire-ifname "$if_far" --pcap "$capture_dir/wire.pcap" \
  --json >"$summary" 2>"$log" &
bridge_pid=$!

for _ in $(seq 100); do
  ip link show "$if_host" >/dev/null 2>&1 && ip link show "$if_far" >/dev/null 2>&1 && break
  kill -0 "$bridge_pid" 2>/dev/null || { cat "$log"; fail "the bridge exited before its interfaces appeared"; }
  sleep 0.1
done
ip link show "$if_far" >/dev/null 2>&1 || { cat "$log"; fail "the interfaces did not appear"; }

ip link set dev "$if_host" netns "$ns_host" || fail "cannot move $if_host into $ns_host"
ip link set dev "$if_far" netns "$ns_far" || fail "cannot move $if_far into $ns_far"
ip -n "$ns_host" addr add "$addr_host/24" dev "$if_host"
ip -n "$ns_far" addr add "$addr_far/24" dev "$if_far"
ip -n "$ns_host" addr add "$addr6_host/64" dev "$if_host" nodad
ip -n "$ns_far" addr add "$addr6_far/64" dev "$if_far" nodad
for ns in "$ns_host" "$ns_far"; do ip -n "$ns" link set lo up; done
ip -n "$ns_host" link set "$if_host" up
ip -n "$ns_far" link set "$if_far" up

echo "== ping $addr_far from $ns_host through the driver"
timeout 30 ip netns exec "$ns_host" ping -c 5 -i 0.2 -W 3 "$addr_far" \
  || { cat "$log"; fail "not every ping came back"; }

# Neighbour discovery is multicast: the far end's solicitation reaches the host only through
# the group the host reported joining, which the binding's multicast list must carry. The far
# end asks first, so that the host has learnt nothing of it beforehand.
echo "== ping $addr6_host from $ns_far, then $addr6_far from $ns_host, through the driver"
timeout 30 ip netns exec "$ns_far" ping -6 -c 5 -i 0.2 -w 20 "$addr6_host" \
  || { cat "$log"; fail "not every IPv6 ping to the host side came back"; }
timeout 30 ip netns exec "$ns_host" ping -6 -c 5 -i 0.2 -w 20 "$addr6_far" \
  || { cat "$log"; fail "not every IPv6 ping from the host side came back"; }

# Both ways: sending from the host side exercises the driver's transmit path, -R its receive
# path (and the controller's FIFO behind a 100 Mb/s cable).
for direction in "" "-R"; do
  echo "== iperf3 ${direction:-(host sends)}, 3 s, between $ns_host and $ns_far"
  timeout 20 ip netns exec "$ns_far" iperf3 -s -1 -B "$addr_far" >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do
    ip netns exec "$ns_far" ss -ltn 2>/dev/null | grep -q ":5201" && break
    sleep 0.1
  done
  timeout 30 ip netns exec "$ns_host" iperf3 -c "$addr_far" $direction -t 3 --connect-timeout 3000 -J \
      >"$iperf_out" || { cat "$iperf_out" "$log"; fail "iperf3 $direction did not complete"; }
  wait "$server_pid" 2>/dev/null; server_pid=""
  mbps=$(python3 -c 'import json,sys; print("%.2f" % (json.load(open(sys.argv[1]))["end"]["sum_received"]["bits_per_second"] / 1e6))' "$iperf_out") \
    || fail "cannot read iperf3's result"
  echo "iperf3 $direction: $mbps Mb/s received"
  python3 -c "import sys; sys.exit(0 if $MIN_MBPS <= $mbps < $MAX_MBPS else 1)" \
    || { cat "$log"; fail "throughput $mbps Mb/s is outside [$MIN_MBPS, $MAX_MBPS) Mb/s"; }
done

echo "== stopping the bridge with SIGINT"
kill -INT "$bridge_pid"
for _ in $(seq 100); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && fail "the bridge did not stop within 10 s of SIGINT"
wait "$bridge_pid"; status=$?; bridge_pid=""
cat "$log"
[ "$status" -eq 0 ] || { cat "$summary"; fail "the bridge exited with status $status"; }

echo "== the driver's counters, the bridge's account and the capture agree"
on_capture=$(tshark -r "$capture_dir/wire.pcap" -T fields -e frame.number 2>/dev/null | wc -l)
python3 - "$summary" "$on_capture" <<'CHECK' || fail "the accounts disagree"
import json, sys
run = json.load(open(sys.argv[1]))
captured = int(sys.argv[2])
def counter(name):
    return int.from_bytes(bytes.fromhex(run["oids"][name]["hex"]), "little")
frames, problems = run["frames"], []
if not run["ok"]: problems.append("the run is not ok")
if not run["verifier"]["clean"]: problems.append("verifier: %s" % run["verifier"]["reports"])
# The host's stack bound as TCP/IP does: directed, multicast and broadcast.
if counter("OID_GEN_CURRENT_PACKET_FILTER") & 0x0B != 0x0B:
    problems.append("the adapter's packet filter ended at %#x" % counter("OID_GEN_CURRENT_PACKET_FILTER"))
if counter("OID_GEN_XMIT_OK") != frames["on_wire"]:
    problems.append("OID_GEN_XMIT_OK %d, on the wire %d" % (counter("OID_GEN_XMIT_OK"), frames["on_wire"]))
if counter("OID_GEN_RCV_OK") != frames["indicated"]:
    problems.append("OID_GEN_RCV_OK %d, indicated %d" % (counter("OID_GEN_RCV_OK"), frames["indicated"]))
if captured != frames["on_wire"] + frames["injected"]:
    problems.append("captured %d frames, the wire carried %d" % (captured, frames["on_wire"] + frames["injected"]))
print("sent %(sent)d, on the wire %(on_wire)d, injected %(injected)d, indicated %(indicated)d, "
      "dropped by the controller %(dropped_by_controller)d" % frames, "; captured", captured)
for p in problems: print("  " + p)
sys.exit(1 if problems else 0)
CHECK
echo "PASS"
