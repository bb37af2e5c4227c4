#!/usr/bin/perl
# The demo's receiving end: takes one RTP stream off the wire and gives it to
# two readers that cannot share the socket. Every packet goes unchanged to
# standard output as '$'-interleaved frames (RTP on channel 0, RTCP on 1), for
# rtp-probe --file -, and as a datagram to the loopback ports FORWARD (RTP)
# and FORWARD+1 (RTCP), where FFmpeg decodes it.
#
#   relay.pl udp ADDR PORT FORWARD [IFINDEX]
#       RTP on ADDR:PORT, RTCP on ADDR:PORT+1; ADDR is the host's own address
#       or a multicast group to join (IPv6 groups on interface IFINDEX).
#       Each sender report is answered with an empty receiver report, which is
#       the keep-alive a unicast sender waits for.
#   relay.pl tcp ADDR PORT FORWARD
#       accepts one connection on ADDR:PORT and passes its bytes on as they
#       come; frames on odd channels are RTCP.
#
# Prints "relay: ready" on standard error once it listens, then once a second
# what has arrived: "relay: N rtp packets, B bytes, R rtcp packets, S sender
# reports" (RTP bytes with their headers). Ends on SIGTERM or
# SIGINT, or when the TCP sender closes; then it tells FFmpeg with an RTCP BYE
# that the sender has gone, so that FFmpeg ends the stream as at the end of a
# file and decodes the last frame too (its parser holds a frame until the
# next one begins).
use strict;
use warnings;
use IO::Socket::IP;
use IO::Select;
use Time::HiRes qw(time);
use Socket qw(SOCK_DGRAM IPPROTO_IP IPPROTO_IPV6 IP_ADD_MEMBERSHIP IPV6_JOIN_GROUP AF_INET AF_INET6
  INADDR_ANY SOL_SOCKET SO_RCVBUF inet_pton pack_ip_mreq pack_ipv6_mreq);

my ($mode, $address, $port, $forward, $ifindex) = @ARGV;
die "usage: relay.pl udp|tcp ADDR PORT FORWARD [IFINDEX]\n"
  unless defined $forward && $mode =~ /^(udp|tcp)$/;
$ifindex //= 0;

my $stop = 0;
$SIG{TERM} = $SIG{INT} = sub { $stop = 1 };
$SIG{PIPE} = 'IGNORE';
binmode STDOUT;
STDOUT->autoflush(1);

my $out = IO::Socket::IP->new(PeerHost => '127.0.0.1', PeerPort => $forward, Proto => 'udp', Type => SOCK_DGRAM)
  or die "relay: loopback socket: $@\n";
my $out_rtcp = IO::Socket::IP->new(PeerHost => '127.0.0.1', PeerPort => $forward + 1, Proto => 'udp', Type => SOCK_DGRAM)
  or die "relay: loopback socket: $@\n";

my $ssrc;  # the sender's, from its first RTP packet
my $RELAY_SSRC = 0x64656d6f;  # ours, in the receiver reports

# One packet on to FFmpeg. A failed send (FFmpeg gone) must not stop the
# probe's copy.
sub forward {
  my ($channel, $data) = @_;
  $ssrc //= substr($data, 8, 4) if !($channel & 1) && length $data >= 12;
  ($channel & 1 ? $out_rtcp : $out)->send($data);
}

my %count = (rtp => 0, bytes => 0, rtcp => 0, sr => 0);
my $next_report = time + 1;

sub tally {
  my ($channel, $data) = @_;
  if ($channel & 1) {
    $count{rtcp}++;
    $count{sr}++ if length $data >= 8 && ord(substr $data, 1, 1) == 200;
  } else {
    $count{rtp}++;
    $count{bytes} += length $data;
  }
}

sub report {
  return if time < $next_report;
  $next_report = time + 1;
  printf STDERR "relay: %d rtp packets, %d bytes, %d rtcp packets, %d sender reports\n",
    @count{qw(rtp bytes rtcp sr)};
}

sub pass_on {
  my ($channel, $data) = @_;
  print STDOUT pack('a1 C n', '$', $channel, length $data) . $data;
  tally($channel, $data);
  forward($channel, $data);
}

# FFmpeg takes RTCP of at least 12 bytes only: an empty receiver report
# leads the BYE, as in any compound RTCP packet.
sub say_goodbye {
  $out_rtcp->send(pack('C C n N C C n', 0x80, 201, 1, $RELAY_SSRC, 0x81, 203, 1) . $ssrc) if defined $ssrc;
}

sub is_multicast {
  my ($a) = @_;
  return $a =~ /^2(2[4-9]|3\d)\./ || $a =~ /^ff/i;
}

sub udp_socket {
  my ($p) = @_;
  my $s = IO::Socket::IP->new(LocalHost => $address, LocalPort => $p, Proto => 'udp', Type => SOCK_DGRAM,
    ReuseAddr => 1) or die "relay: udp $address port $p: $@\n";
  $s->setsockopt(SOL_SOCKET, SO_RCVBUF, 4 << 20);
  if (is_multicast($address)) {
    if ($address =~ /:/) {
      $s->setsockopt(IPPROTO_IPV6, IPV6_JOIN_GROUP, pack_ipv6_mreq(inet_pton(AF_INET6, $address), $ifindex))
        or die "relay: join $address: $!\n";
    } else {
      $s->setsockopt(IPPROTO_IP, IP_ADD_MEMBERSHIP, pack_ip_mreq(inet_pton(AF_INET, $address), INADDR_ANY))
        or die "relay: join $address: $!\n";
    }
  }
  return $s;
}

sub run_udp {
  my $rtp = udp_socket($port);
  my $rtcp = udp_socket($port + 1);
  my $select = IO::Select->new($rtp, $rtcp);
  print STDERR "relay: ready\n";
  while (!$stop) {
    report();
    for my $s ($select->can_read(0.2)) {
      my $data;
      my $from = $s->recv($data, 65536) // next;
      my $is_rtcp = $s == $rtcp;
      pass_on($is_rtcp ? 1 : 0, $data);
      # A sender report (packet type 200) gets an empty receiver report back,
      # from our RTCP port to the sender's.
      if ($is_rtcp && length $data >= 8 && ord(substr $data, 1, 1) == 200) {
        $rtcp->send(pack('C C n N', 0x80, 201, 1, $RELAY_SSRC), 0, $from);
      }
    }
  }
}

sub run_tcp {
  my $listener = IO::Socket::IP->new(LocalHost => $address, LocalPort => $port, Listen => 1, ReuseAddr => 1)
    or die "relay: tcp $address port $port: $@\n";
  print STDERR "relay: ready\n";
  my $conn;
  my $select = IO::Select->new($listener);
  while (!$stop && !$conn) {
    $conn = $listener->accept if $select->can_read(0.2);
  }
  return unless $conn;
  $select = IO::Select->new($conn);
  my $pending = '';
  my $in_step = 1;
  while (!$stop) {
    report();
    next unless $select->can_read(0.2);
    my $got = sysread($conn, my $chunk, 65536);
    last unless $got;
    print STDOUT $chunk;
    next unless $in_step;
    $pending .= $chunk;
    # Whole frames go on to FFmpeg; a partial one waits for the rest.
    while (length $pending >= 4) {
      my ($dollar, $channel, $length) = unpack('a1 C n', $pending);
      if ($dollar ne '$') {
        # Out of step: the probe reports it; FFmpeg gets nothing more.
        $in_step = 0;
        last;
      }
      last if length $pending < 4 + $length;
      tally($channel, substr($pending, 4, $length));
      forward($channel, substr($pending, 4, $length));
      substr($pending, 0, 4 + $length) = '';
    }
  }
}

$mode eq 'udp' ? run_udp() : run_tcp();
$next_report = 0;
report();
close STDOUT;
say_goodbye();
