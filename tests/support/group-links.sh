# Links for group traffic inside a fresh network namespace: IPv4 groups on a
# loopback that carries multicast, IPv6 groups on mc0, one end of a veth pair
# whose link-local address is usable at once.
set -e
ip link set lo multicast on
ip link set lo up
ip route add 224.0.0.0/4 dev lo
sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
ip link add mc0 type veth peer name mc1
ip link set mc0 up
ip link set mc1 up
for _ in 1 2 3 4 5 6 7 8 9 10; do
    ip -6 addr show dev mc0 scope link | grep -q inet6 && exit 0
    sleep 0.1
done
exit 1
