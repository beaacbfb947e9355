#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <dravik/UDPServerDelegate.h>
#include <dravik/export.h>

// One UDP socket bound to a local port, an event loop and, while started, a
// worker thread that runs it and delivers accepted datagrams to the delegate;
// a receive-only server may have several such workers (see setWorkers).
//
// Receive-only mode accepts datagrams from any sender. Peer mode accepts only
// datagrams whose source equals the remote endpoint.
//
// start, stop, send and setDelegate may be called from any number of
// application threads at once, in any mix; each behaves as if the calls had
// come one after another. Not from the worker, though: calling start or stop
// from inside messageReceived is outside the contract, and so is destroying a
// server while another thread still uses it. Neither copyable nor movable:
// the worker and pending completions hold the server's address. The socket
// is not inherited by child processes.
class DRAVIK_EXPORT UDPServer {
public:
    // The result of send(): Ok, or why the send was refused.
    enum Error : int {
        Ok = 0,                // the send was started
        ReceiveOnly = 1,       // the server is in receive-only mode
        NotRunning = 2,        // the server is not running
        NoRemoteEndpoint = 3,  // the remote address is unspecified (0.0.0.0 or ::)
        SendQueueFull = 4,     // the socket's buffer and the queue of copies behind it are
                               // full; nothing was queued: try again later
        RateLimited = 5,       // reply(): the sender's prefix has spent its reply budget
                               // (see setReplyLimit); nothing was queued
    };

    // What the server has done since construction, as counted by
    // readCounters(). Receive-side figures count datagrams; a receive error
    // counts as one datagram taken. Once the server is quiet (stopped, or no
    // traffic in flight) they add up:
    //   received == delivered + rejectedForeign + rejectedEmpty + receiveErrors
    //               + rejectedNotForGroup + rejectedByPolicy + rejectedByLimit
    //   sendsAccepted == sent + sendsFailed + sendsDiscarded + waitingDatagrams
    // Later versions may append fields; `size` tells readCounters() how many
    // the caller's struct has, so binaries built against either keep working.
    struct Counters {
        std::uint64_t size = sizeof(Counters);
        std::uint64_t received = 0;         // datagrams taken from the socket
        std::uint64_t delivered = 0;        // accepted (given to the delegate, if one is set)
        std::uint64_t rejectedForeign = 0;  // peer mode: from another endpoint
        std::uint64_t rejectedEmpty = 0;    // empty datagrams
        std::uint64_t receiveErrors = 0;    // receives that failed
        std::uint64_t truncated = 0;        // delivered cut to maxDatagramSize() (among delivered)
        // What the system dropped, its receive buffer full (Linux; 0
        // elsewhere). The system counts packets: a coalesced train it drops
        // (see setMaxDatagramSize) counts once, however many datagrams it held.
        // With the sender policy in the system (SenderPolicy::inKernel), the
        // system counts what its filter refused here too, and tells no way
        // apart: those datagrams are never taken, so never in `received`.
        std::uint64_t droppedBySystem = 0;
        std::uint64_t sendsAccepted = 0;    // send() calls that returned Ok
        std::uint64_t sent = 0;             // ... taken by the system
        std::uint64_t sendsFailed = 0;      // ... refused by the system ("Error sending data")
        std::uint64_t sendsDiscarded = 0;   // ... still waiting when the server stopped
        std::uint64_t sendsQueueFull = 0;   // send() calls refused with SendQueueFull
        std::uint64_t waitingDatagrams = 0; // copies waiting for room now
        std::uint64_t waitingBytes = 0;     // their bytes
        // A group member: datagrams that arrived on its port but were sent
        // to another address (unicast, or another group), where the system
        // tells each datagram's destination (Linux, Windows).
        std::uint64_t rejectedNotForGroup = 0;
        // Destinations reported unreachable (see UnreachableListener), by
        // reason: no one listens on the port; the host, its network or an
        // administrator's filter cannot be reached; the datagram was too big
        // for the path; anything else (a time-out in transit, a bad header).
        std::uint64_t unreachablePort = 0;
        std::uint64_t unreachableHost = 0;
        std::uint64_t unreachableTooBig = 0;
        std::uint64_t unreachableOther = 0;
        // Refused before delivery by the sender policy (see setSenderPolicy)
        // and by the delivery limit (see setDeliveryLimit); both among
        // `received`.
        std::uint64_t rejectedByPolicy = 0;
        std::uint64_t rejectedByLimit = 0;
        // reply() calls refused with RateLimited (not among sendsAccepted).
        std::uint64_t repliesRateLimited = 0;
        // Dry runs of the limits: what they would have refused, delivered or
        // replied all the same.
        std::uint64_t wouldLimitDeliveries = 0;
        std::uint64_t wouldLimitReplies = 0;
        // Reports of an unreachable destination that the server had not sent
        // to within the last 30 seconds, as the network claimed them: not
        // believed, so neither counted among the unreachable* fields nor
        // logged nor told to the listener.
        std::uint64_t unreachableUnsolicited = 0;
    };

    // An IPv4 or IPv6 address with a port, as a value of fixed size. An IPv4
    // address that a dual-stack ("::") server sees as IPv4-mapped IPv6 is
    // held, shown and compared as IPv4.
    class DRAVIK_EXPORT Endpoint {
    public:
        // The empty endpoint: no address, port 0.
        Endpoint() noexcept;
        // Numeric IPv4 or IPv6 text, parsed like the constructors' addresses
        // (an IPv6 "%scope" is accepted, host names are refused). Throws
        // std::system_error with invalid_argument for other text or a port
        // outside 0..65535.
        Endpoint(const std::string& address, int port);

        // "192.0.2.1", "2001:db8::1", "fe80::1%eth0"; empty text if empty().
        std::string address() const;
        int port() const;
        bool empty() const;
        // "192.0.2.1:5000", "[2001:db8::1]:5000"; empty text if empty().
        std::string toString() const;

        // Same family, address, IPv6 scope and port.
        bool operator==(const Endpoint& other) const;
        bool operator!=(const Endpoint& other) const { return !(*this == other); }

    private:
        friend class EndpointConversion;
        std::uint8_t family = 0;  // 0 (empty), 4 or 6
        std::uint16_t portNumber = 0;
        std::uint32_t scope = 0;
        std::uint8_t bytes[16] = {};
    };

    // What the network said about a datagram as it arrived (see
    // readDatagramInfo()). Later versions may append fields; `size` tells
    // readDatagramInfo() how many the caller's struct has. Every field has a
    // value that means "unknown", distinct from any the network can give.
    struct DatagramInfo {
        std::uint64_t size = sizeof(DatagramInfo);
        // The IPv4 type-of-service or IPv6 traffic class byte: the DSCP in
        // its upper six bits, the ECN codepoint in its lower two; -1 unknown.
        int trafficClass = -1;
        // The IPv4 TTL or IPv6 hop limit it arrived with; -1 unknown.
        int hopLimit = -1;
        // When the system took it from the network, in nanoseconds since
        // 1970-01-01 UTC on the system's real-time clock (what
        // std::chrono::system_clock reads, so it moves when the clock is
        // set); -1 unknown. The datagrams of a coalesced train (see
        // setMaxDatagramSize) share the time of the train.
        std::int64_t receivedAt = -1;
        // The interface it arrived on: its index, 0 unknown, and its name,
        // empty unknown.
        std::uint32_t interfaceIndex = 0;
        char interfaceName[16] = {};
    };

    // Why a destination was unreachable.
    enum class UnreachableReason : int {
        Port = 1,    // no one listens on its port
        Host = 2,    // the host or its network is unreachable, or an administrator forbids it
        TooBig = 3,  // the datagram was larger than the path takes (`mtu` says what it takes)
        Other = 4,   // anything else: a time-out in transit, a header the destination refused
    };

    // What the network (or this host) said about a datagram the server sent:
    // that its destination could not be reached, and why. Later versions may
    // append fields; `size` says how far the library filled it, so a listener
    // built against a newer header checks it before reading those.
    struct Unreachable {
        std::uint64_t size = sizeof(Unreachable);
        // Where the refused datagram was going. Of a datagram this host
        // itself refused as too big, IPv4 tells the address but not the port
        // (0).
        Endpoint destination;
        UnreachableReason reason = UnreachableReason::Other;
        // TooBig: the largest packet the path takes, as reported; 0 if not
        // told, or if the report named one no path can have (below 68 for
        // IPv4, 1,280 for IPv6). Else 0.
        std::uint32_t mtu = 0;
        std::error_code error;  // the system's word for it ("Connection refused", ...)
        Endpoint reportedBy;    // the host or router that said so; empty where not told
    };

    // Learns of each unreachable destination as the server hears of it. The
    // application implements and owns it; see setUnreachableListener().
    class DRAVIK_EXPORT UnreachableListener {
    public:
        // Called on a worker thread (with several workers, on any of them, at
        // once), never concurrently with that worker's deliveries; for what
        // the system said as the server stopped, on the thread that stopped
        // it (never by the destructor). Must not throw.
        virtual void destinationUnreachable(const Unreachable& unreachable) = 0;
        virtual ~UnreachableListener();
    };

    // How the server's datagrams treat fragmentation.
    enum class Fragmentation : int {
        SystemDefault = 0,  // as the system does by default
        DontFragment = 1,   // never fragmented: one larger than the path's known MTU is refused
        Probe = 2,          // never fragmented, sent whatever the MTU the system knows for the
                            // path (for path MTU discovery); the network may refuse it
    };

    // Receive-only mode, bound to 0.0.0.0:localPort. Throws std::system_error:
    // invalid_argument for a port outside 0..65535, or the platform's error
    // ("open: ..." / "bind: ...", e.g. a port already in use). Logs nothing.
    explicit UDPServer(int localPort);

    // Receive-only mode, bound to `localAddress`:localPort. `localAddress` is
    // numeric IPv4 or IPv6 text, parsed like a peer's remote address (an IPv6
    // "%scope" is accepted, host names are refused, nothing is looked up).
    // "0.0.0.0" gives the server of UDPServer(localPort); an IPv6 address
    // gives an IPv6 socket, and "::" one that takes IPv4 senders too. A
    // multicast group (224.0.0.0/4, ff00::/8) makes the server a member: it
    // joins the group (IPv4 on the interface the system's routing picks,
    // IPv6 on the "%scope" interface or the default one) and receives what
    // any sender sends to the group on localPort; other members on this host
    // may share the port. Throws std::system_error as the constructor above,
    // for text that is not a numeric address, the platform's bind error for
    // an address this host does not have, or its "join: ..." error for a
    // group it cannot join (no interface carries multicast). Logs nothing.
    UDPServer(int localPort, const std::string& localAddress);

    // Peer mode. `remoteAddress` must be numeric IPv4 or IPv6 text (an IPv6
    // "%scope" suffix is accepted: on a link-local address it must name an
    // existing interface, elsewhere it is ignored, as the system ignores it
    // on senders; an empty one is refused); host names are refused, no
    // lookup is made.
    // An IPv6 remote gets an IPv6 socket bound to [::]:localPort, an IPv4 one
    // an IPv4 socket bound to 0.0.0.0:localPort that may also send to
    // broadcast addresses. A multicast remote is sent to with the system's
    // defaults (the local link only, and members on this host receive it);
    // replies come from the members' own addresses, which peer mode rejects,
    // so listen to a group with a receive-only server. Throws
    // std::system_error as above, or the parse error for an address that is
    // not numeric.
    UDPServer(const std::string& remoteAddress, int remotePort, int localPort);

    // A socket that is already open and bound, as a service manager (socket
    // activation, inetd) or a program that binds before it drops its
    // privileges hands over: a descriptor on POSIX, a SOCKET on Windows.
    struct AdoptedSocket {
        std::uintptr_t handle;
    };
    // Adopts `socket` in receive-only mode (the first) or in peer mode with
    // the remote endpoint given (the second, as the peer-mode constructor
    // takes it). The server reads the socket's family, address and port
    // from the system (localPort() and the log lines say that port), and
    // sets only what it needs itself: non-blocking, not inherited by child
    // processes, where datagrams arrive when it is bound to a wildcard
    // address, and the system's error queue. It changes nothing else (no
    // buffer size, no IPv6-only) and never binds again. From then on the
    // server owns the socket: it closes it when destroyed. Refused with
    // std::system_error, closing nothing and changing nothing, for a handle
    // that is not an open socket (bad_file_descriptor, not_a_socket), not a
    // UDP socket (wrong_protocol_type), not bound (invalid_argument), or in
    // peer mode of another family than the remote address
    // (address_family_not_supported), each with a message that says which.
    // More workers (setWorkers) can join an adopted socket's port only if
    // it is in a SO_REUSEPORT group.
    explicit UDPServer(AdoptedSocket socket);
    UDPServer(AdoptedSocket socket, const std::string& remoteAddress, int remotePort);

    // Stops the server (logging its "Stopping" line), then closes the socket;
    // completions still pending are discarded without being called.
    ~UDPServer();

    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;
    UDPServer(UDPServer&&) = delete;
    UDPServer& operator=(UDPServer&&) = delete;

    // Starts the worker threads; the server counts as running before a
    // worker delivers anything, so the delegate may answer at once. After a
    // stop() it resumes reception. On a running server it logs an error and
    // changes nothing. Throws the thread library's std::system_error if no
    // thread can be created, or what the host logger throws; either way the
    // server stays stopped.
    void start();

    // Stops the event loops and joins the workers, waiting at most for the
    // delegate calls in progress and, for up to 200 ms, for copies of sends
    // that wait for room (those still waiting then are discarded and counted
    // in one error line); the delegate is not called after stop() returns.
    // Datagrams already taken from the socket but not yet delivered are
    // delivered first by the next start(). Accepted in every state, and
    // always logs; concurrent calls all return once the workers are joined.
    // The error lines that traffic triggers are held to at most 10 a second
    // across runs: what that budget holds back when stop() returns is logged
    // by the next run, or at the latest by the destructor; the counters are
    // exact at once. Should the host logger throw, the server is stopped all
    // the same and the exception then goes on to the caller (the destructor
    // swallows it). The socket stays bound until destruction.
    void stop();

    // Sends `size` bytes at `data` as one datagram to the remote endpoint.
    // Refusals are returned (and logged) at once; otherwise the send is issued
    // on the calling thread and Ok is returned. Its outcome is only logged,
    // later, on a worker's thread, in completion order: within about 100 us,
    // besides what that worker is doing (up to 1 ms more while datagrams keep
    // it receiving), and by stop() at the latest. The caller's buffer is not
    // read after send returns (a send that must wait for room in the socket's
    // buffer keeps a copy). The copies are bounded: once they would pass
    // max(256 KiB, the socket's send buffer size), counting 64 bytes per
    // datagram besides its payload, send returns SendQueueFull and queues
    // nothing. Callable from several threads at once; each thread's datagrams
    // leave in the order it sent them. With several workers (see
    // setWorkers) each thread sends through one worker's socket of its own,
    // the threads spread over the workers, and each worker's socket has its
    // copies and their bound; inside messageReceived, the delivering
    // worker's. Every send that returned Ok ends in
    // its "Sent" or "Error sending data" line, or in the count of the
    // "Discarded N waiting datagrams" line of the stop() that ended it.
    Error send(const char* data, std::uint64_t size);

    // One datagram of a batch: `size` bytes at `data`.
    struct Datagram {
        const char* data;
        std::uint64_t size;
    };

    // Sends `count` datagrams, in order, as if by one send() each, but in as
    // few system calls as the platform allows (on Linux, batched sends and,
    // for runs of equal sizes, segmentation offload where the system has
    // it). Accepts a prefix of the batch and returns its length: `count`, or
    // fewer when a datagram was refused, in which case `*refusal` (if given;
    // Ok when all were accepted) says why with send()'s codes. ReceiveOnly,
    // NotRunning and NoRemoteEndpoint refuse the whole batch with one line;
    // SendQueueFull refuses the datagram that did not fit and those after
    // it. Each accepted datagram gets the log lines, counters and ordering of
    // a single send(), and the caller's buffers are not read after the call
    // returns. Should the host logger throw, the exception goes on to the
    // caller once what the system had taken is counted and queued for its
    // outcome lines; sendsAccepted then tells how many were accepted.
    std::size_t send(const Datagram* datagrams, std::size_t count, Error* refusal = nullptr);

    // The sender of the datagram being delivered, and the address and port
    // it was sent to: for a server bound to a wildcard address, this host's
    // address that the sender used; for a group member, the group. Only on
    // the worker thread while messageReceived runs; an empty Endpoint
    // anywhere else. Where the system does not tell where a datagram arrived
    // (it is asked only on servers bound to a wildcard address or a group),
    // destination() is the address the server was constructed with.
    Endpoint sender() const;
    Endpoint destination() const;

    // Inside messageReceived: sends `size` bytes at `data` as one datagram to
    // sender(), leaving from destination()'s address (from the receiving
    // interface's own address when that is a group or a broadcast address;
    // on Windows, for a subnet's broadcast address, the system's choice).
    // Works in both modes.
    // A copy is taken, and the replies of one batch of deliveries leave
    // together, in chunks of up to 64 as they fill and the rest once the
    // batch has been delivered. Refused with NotRunning on
    // a stopped server and NoRemoteEndpoint outside a delivery; otherwise as
    // send(): its lines, counters, bound and SendQueueFull.
    Error reply(const char* data, std::uint64_t size);

    // Sends `size` bytes at `data` as one datagram to `to`, from any thread,
    // in either mode; the source is the bound address as the system chooses.
    // Refused with NotRunning, or NoRemoteEndpoint for an empty or
    // unspecified `to` or port 0; otherwise as send(). A destination the
    // socket cannot reach (IPv6 from an IPv4 socket) ends in the "Error
    // sending data" line. In peer mode answers from anyone but the remote
    // endpoint are still rejected as foreign.
    Error sendTo(const Endpoint& to, const char* data, std::uint64_t size);

    // One datagram of a batch to many destinations.
    struct AddressedDatagram {
        Endpoint to;
        const char* data;
        std::uint64_t size;
    };

    // As sendTo(to, data, size), with `trafficClass` (0 to 255: DSCP in the
    // upper six bits, ECN in the lower two) as this datagram's IPv4
    // type-of-service or IPv6 traffic class instead of the server's (see
    // setTrafficClass; withEcn() keeps its DSCP); -1 is the server's. Outside
    // -1..255 the datagram is sent with the server's. Windows: the server's,
    // always.
    Error sendTo(const Endpoint& to, const char* data, std::uint64_t size, int trafficClass);

    // Sends `count` datagrams, each to its own destination, as the batch
    // send() does: a prefix is accepted and its length returned, `*refusal`
    // says why the rest was refused (NoRemoteEndpoint at the first datagram
    // whose destination sendTo() would refuse), and each accepted datagram
    // gets the lines, counters and ordering of a single sendTo().
    std::size_t sendTo(const AddressedDatagram* datagrams, std::size_t count,
                       Error* refusal = nullptr);

    // One datagram of a batch to many destinations, each with its own traffic
    // class (as the sendTo() that takes one; -1 is the server's).
    struct MarkedDatagram {
        Endpoint to;
        const char* data;
        std::uint64_t size;
        int trafficClass;
    };
    std::size_t sendTo(const MarkedDatagram* datagrams, std::size_t count,
                       Error* refusal = nullptr);

    // reply() with this datagram's own traffic class, as sendTo() takes it.
    Error reply(const char* data, std::uint64_t size, int trafficClass);

    // The server's traffic class for its unicast sends: the IPv4
    // type-of-service and IPv6 traffic class byte, 0 to 255, or -1 for the
    // system's default (0). Its hop limit: the IPv4 TTL and IPv6 unicast hop
    // limit, 1 to 255, or -1 for the system's default (64 on Linux). Its
    // fragmentation, SystemDefault until set. All three apply to every
    // worker's socket and to IPv4 and IPv6 alike (a dual-stack server's
    // IPv4 senders included). Settable only while stopped: otherwise
    // std::system_error with operation_in_progress, outside the ranges with
    // invalid_argument; nothing changes then.
    void setTrafficClass(int trafficClass);
    int trafficClass() const;
    void setHopLimit(int hopLimit);
    int hopLimit() const;
    void setFragmentation(Fragmentation fragmentation);
    Fragmentation fragmentation() const;
    // The server's traffic class with its ECN bits replaced by `ecn` (0 to
    // 3; others are masked), for marking one datagram without losing the
    // server's DSCP.
    int withEcn(int ecn) const;

    // Whether the system tells, with each datagram, its traffic class, hop
    // limit and receive time (off until set; the system does a little more
    // per datagram when on). Settable only while stopped, as above.
    void setReceiveInfo(bool on);
    bool receiveInfo() const;
    // Inside messageReceived, on the worker: fills `info`, as far as
    // `info.size` reaches, with what is known of the datagram being
    // delivered, and returns true; anywhere else it changes nothing and
    // returns false. The interface is known where destination() is told by
    // the system (servers bound to a wildcard address or a group) or
    // receiveInfo() is on. Windows tells the interface, and the traffic
    // class and hop limit where the system knows IP_RECVTOS and IP_HOPLIMIT
    // (Wine tells neither); never the receive time.
    bool readDatagramInfo(DatagramInfo& info) const;

    // Destinations that cannot be reached are reported, not fatal: the
    // system tells which datagram's destination and why (Linux: for every
    // reason; Windows: only ports no one listens on, without the MTU). Each
    // is counted (Counters::unreachable*), logged within the error line
    // budget as "[UDPServer] Destination D unreachable on port P: " and the
    // system's words, and handed to the listener, if one is set (null: none).
    // What the network reports is a claim anyone who can reach the port can
    // make: a report about a destination the server has not sent to within
    // the last 30 seconds (as far as its table holds them: 8,192, 8 to a set
    // chosen by a keyed hash) is only counted in unreachableUnsolicited. Windows names no
    // destination with some reports; those are believed. A datagram this
    // host itself refuses as too big is counted and handed on, but its one
    // line is the send's own "Error sending data".
    // May be set at any time, from any thread; the listener must stay alive
    // until it is replaced and the server has been stopped, or destroyed.
    void setUnreachableListener(UnreachableListener* listener);
    UnreachableListener* unreachableListener() const;

    // Who may send to a receive-only server. Each rule is an IPv4 or IPv6
    // prefix in CIDR text ("10.0.0.0/8", "2001:db8::/32"; a bare address is
    // /32 or /128). The most specific rule that matches a sender decides; of
    // two rules on the same prefix, Deny wins; `unmatched` decides for
    // senders no rule matches. An IPv4 sender of a dual-stack ("::") server
    // is judged by the IPv4 rules.
    enum class Verdict : int { Allow = 1, Deny = 2 };
    struct SenderRule {
        Verdict verdict;
        std::string prefix;
    };
    struct SenderPolicy {
        std::vector<SenderRule> rules;
        Verdict unmatched = Verdict::Allow;
        // Linux: the system also judges each datagram, with a filter on every
        // worker's socket, so that refused senders' datagrams cost no receive
        // and take no room in the receive buffer (the system counts them in
        // droppedBySystem). Refused elsewhere.
        bool inKernel = false;
    };

    // Sets the sender policy, replacing any other; from any thread, running
    // or not. Datagrams judged after it returns follow it (those the system
    // had queued before are judged by the server itself); a refused one is
    // not delivered, is counted in rejectedByPolicy and is logged within the
    // error line budget ("[UDPServer] Sender S refused by the sender policy
    // on port P"). Throws std::system_error, changing nothing: with
    // invalid_argument naming a rule whose text is not a prefix; with
    // operation_not_supported in peer mode (it accepts its remote endpoint
    // only) or for inKernel where the system has no such filter; with
    // value_too_large for inKernel if the policy does not fit the system's
    // filter (4,096 instructions: about 1,300 IPv4 rules, or 300 IPv6
    // ones); or with the system's error if it refuses the filter. No policy
    // (the default) costs nothing.
    void setSenderPolicy(const SenderPolicy& policy);
    // Every sender is accepted again (any thread, any time).
    void clearSenderPolicy();

    // A limit per sender prefix: each prefix (the sender's first
    // ipv4PrefixLength or ipv6PrefixLength bits) may pass `perSecond` on
    // average and `burst` at once; past that it is refused until its budget
    // refills. The budgets live in a table of fixed size (16,384 buckets, 128
    // KiB), chosen by a hash keyed at random for each server, so that no
    // flood of sources can grow it and no sender can choose whom it shares a
    // bucket with; prefixes that happen to share one share its budget, which
    // errs towards refusing, never towards letting more through. One budget
    // per prefix for the whole server, however many workers.
    struct RateLimit {
        double perSecond = 0;  // 0: no limit; otherwise 0.001 to 1e9
        double burst = 1;      // 1 to 1e9
        int ipv4PrefixLength = 24;  // 0 to 32
        int ipv6PrefixLength = 56;  // 0 to 128
        // Counts what would be refused (wouldLimit*) without refusing it.
        bool dryRun = false;
        // Senders on the loopback addresses (127.0.0.0/8, ::1) pass unlimited.
        bool exemptLoopback = false;
    };
    // Datagrams from a prefix past its limit are not delivered: counted in
    // rejectedByLimit and logged within the error line budget ("[UDPServer]
    // Sender S over the delivery limit of its prefix on port P").
    void setDeliveryLimit(const RateLimit& limit);
    // reply() to a prefix past its limit (batched replies too) returns
    // RateLimited, counted in repliesRateLimited and logged within the error
    // line budget ("[UDPServer] Error: Reply to S refused: its prefix is over
    // the reply limit on port P"). A victim prefix, however many requests
    // carry its address, gets at most perSecond x seconds + burst replies.
    void setReplyLimit(const RateLimit& limit);
    // Both: any thread, any time, taking effect for the datagrams judged and
    // replies made after they return; a new limit starts with full budgets.
    // Throws std::system_error with invalid_argument outside the ranges,
    // changing nothing.

    // A multicast group member: receives the group's datagrams only from
    // `sources` (numeric addresses of the group's family), a source-specific
    // membership (IPv4 IP_ADD_SOURCE_MEMBERSHIP's kind, IPv6
    // MCAST_JOIN_SOURCE_GROUP), on the interface the group's membership
    // already uses; the system then filters on the wire as well as on the
    // host. Replaces any-source membership, or the sources named before.
    // Settable only while stopped (operation_in_progress otherwise). Throws
    // std::system_error, changing nothing: operation_not_supported for a
    // server that is no group member; invalid_argument for no source, text
    // that is not a numeric address, or a source of the other family; the
    // system's error ("join: group G from source S: ...") where it refuses,
    // for a group outside the source-specific ranges (232.0.0.0/8,
    // ff3x::/96) on a system that insists on them, say.
    void setSources(const std::vector<std::string>& sources);

    // The largest datagram delivered whole, 1 to 65,535 bytes; a longer one
    // is cut to it and counted in `truncated`. 1,024 until set. Settable only
    // while the server is stopped (before the first start() or after a
    // stop()): on a running server it throws std::system_error with
    // operation_in_progress, outside the range with invalid_argument, and
    // changes nothing. Datagrams already taken keep the size they were taken
    // with.
    //
    // What a server holds in receive memory: 32 areas of this size, at most
    // 1 MiB of them (32 KiB at 1,024; 1 MiB at 65,535), from which the
    // delegate is handed each datagram. Once raised above 1,024 on Linux
    // with coalesced receive (UDP_GRO, since 5.0), the system may hand the
    // server a train of equal datagrams in one receive, which the server
    // delivers one datagram at a time as if each had come alone: it then
    // holds 16 areas of 64 KiB (1 MiB) and keeps that layout even if the
    // size is lowered again, so that no train already queued is cut short.
    void setMaxDatagramSize(std::uint64_t bytes);
    std::uint64_t maxDatagramSize() const;

    // The number of workers: each a socket on the server's port with its own
    // thread, event loop and receive memory (see setMaxDatagramSize), taking
    // datagrams and delivering them. 1 until set, and with 1 everything
    // above holds as written: one thread calls the delegate, and the port is
    // the server's alone.
    //
    // With N workers (receive-only servers on Linux) the N sockets share the
    // port, and the system spreads the senders over them by a hash of each
    // sender's address and port: one sender's datagrams all reach one worker
    // and keep their order, but messageReceived is called from up to N
    // threads at once, for different senders, and the delegate must allow
    // that. sender(), destination() and reply() answer for the datagram that
    // the calling worker is delivering, and a reply leaves through the
    // socket that received the request: its copy if it must wait, its
    // outcome and its "Sent" line stay with that worker, on its thread. The
    // counters are summed over the workers, and the error lines keep one
    // budget for the server.
    //
    // Raising the workers keeps each sender's order: on the first start()
    // after a raise, each added worker takes nothing from its socket until
    // every older worker has found its own socket empty, so no sender's
    // datagram is delivered while an earlier one may still wait in another
    // socket. That start's added workers begin a little later (as soon as
    // the older ones have caught up: under a flood they cannot keep up with,
    // not before it eases).
    //
    // Sharing the port opens it to the same user's other processes: one
    // that binds the port with SO_REUSEPORT on a more specific address (say
    // 127.0.0.1, beside a server on 0.0.0.0) takes every datagram sent to
    // that address, as the system prefers the more specific binding; one
    // bound like the server takes a share of the senders. Other users
    // cannot. To keep the port to the service, run it as a user of its own.
    //
    // Settable only while the server is stopped, from 1 to 256, and only
    // upwards: a socket leaving the port would lose the datagrams queued on
    // it. Throws std::system_error with operation_in_progress on a running
    // server, invalid_argument outside the range, operation_not_supported
    // for fewer workers than now, for more than one in peer mode (one sender
    // reaches one socket anyway) or on a multicast group member (the system
    // hands every socket of a group every datagram), and what opening a
    // socket throws (see the constructors); on any throw nothing changes.
    // Where the system does not spread a port over sockets (Windows, and
    // other systems than Linux), the server keeps one worker and workers()
    // says 1.
    void setWorkers(int count);
    int workers() const;

    // Copies the server's counters into `counters`, as far as `counters.size`
    // reaches; any thread, any time, without locks.
    void readCounters(Counters& counters) const;
    Counters counters() const {
        Counters counters;
        readCounters(counters);
        return counters;
    }

    // The local port the socket is bound to: `localPort` as given, or the
    // port the system chose when 0 was given. Log lines keep the port as
    // given.
    int localPort() const;

    // Stores the delegate (null drops accepted datagrams after logging them).
    // May be called at any time, from any thread.
    void setDelegate(UDPServerDelegate* delegate);
    UDPServerDelegate* getDelegate() const;

private:
    struct Internals;

    std::unique_ptr<Internals> internals;
};
