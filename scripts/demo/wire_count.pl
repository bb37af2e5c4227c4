#!/usr/bin/perl
# Counts the UDP datagrams this host sends on an interface to one port, as
# they leave it (one per datagram on the wire, however the sender batched
# them), and keeps the count in a file until SIGTERM or SIGINT.
#
#   wire_count.pl IFACE PORT FILE
use strict;
use warnings;
use Socket qw(SOCK_RAW SOL_SOCKET);

my ($iface, $port, $file) = @ARGV;
die "usage: wire_count.pl IFACE PORT FILE\n" unless defined $file;

use constant { AF_PACKET => 17, ETH_P_ALL => 0x0003, PACKET_OUTGOING => 4, SO_RCVBUFFORCE => 33 };
my $all = unpack('S', pack('n', ETH_P_ALL)); # in network order, as the kernel wants it
socket(my $sock, AF_PACKET, SOCK_RAW, $all) or die "wire_count.pl: socket: $!\n";
open(my $index_file, '<', "/sys/class/net/$iface/ifindex") or die "wire_count.pl: no interface $iface\n";
chomp(my $ifindex = <$index_file>);
bind($sock, pack('S n i S C C a8', AF_PACKET, ETH_P_ALL, $ifindex, 0, 0, 0, '')) or die "wire_count.pl: bind: $!\n";
# Room for seconds of a stream, so that a busy machine loses no count.
setsockopt($sock, SOL_SOCKET, SO_RCVBUFFORCE, pack('i', 8 << 20));

my ($count, $written, $stop) = (0, -1, 0);
$SIG{TERM} = $SIG{INT} = sub { $stop = 1 };

sub write_count {
  return if $count == $written;
  open(my $out, '>', "$file.new") or die "wire_count.pl: $file: $!\n";
  print $out "$count\n";
  close($out);
  rename("$file.new", $file);
  $written = $count;
}

write_count();
until ($stop) {
  my $bits = '';
  vec($bits, fileno($sock), 1) = 1;
  if (select(my $ready = $bits, undef, undef, 0.2) > 0) {
    my $frame;
    my $from = recv($sock, $frame, 256, 0);
    next unless defined $from && length($frame) >= 14;
    next unless unpack('x10 C', $from) == PACKET_OUTGOING;
    my $type = unpack('x12 n', $frame);
    my $udp;
    if ($type == 0x0800 && length($frame) >= 34 && unpack('x23 C', $frame) == 17) {
      $udp = 14 + 4 * (unpack('x14 C', $frame) & 0x0f);
    } elsif ($type == 0x86DD && length($frame) >= 58 && unpack('x20 C', $frame) == 17) {
      $udp = 54;
    }
    $count++ if defined $udp && length($frame) >= $udp + 4 && unpack("x@{[$udp + 2]} n", $frame) == $port;
  }
  write_count();
}
write_count();
