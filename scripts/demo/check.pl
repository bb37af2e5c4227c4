#!/usr/bin/perl
# The demo's verdict on what arrived, compared with what was fed.
#
#   check.pl frames FED DECODED LEAD [TAIL]
#       FED and DECODED hold one frame hash per line. Passes when the decoded
#       frames are a run of the fed ones in order, none lost, repeated or
#       damaged, with at most LEAD fed frames before them (those in the
#       store before the stream started) and at most TAIL after them (fed
#       too late to be sent before the daemon stopped; default 0).
#   check.pl bytes FED RECEIVED LEAD UNIT [TAIL]
#       The same for audio bytes: the received ones must be the fed ones in
#       order, with at most LEAD fed bytes before them. The sender packs
#       whole units of UNIT bytes, so fewer than UNIT fed bytes may still
#       wait for more audio at the end, besides TAIL bytes fed after the stop.
#   check.pl documents DOCUMENT RECEIVED
#       The received bytes must be the document, whole, one or more times.
#
# Prints one line saying what was found; exit status 0 when intact, 1 when
# not, 2 on a usage error.
use strict;
use warnings;

sub slurp {
  my ($path) = @_;
  open(my $in, '<:raw', $path) or die "check.pl: $path: $!\n";
  local $/;
  my $text = <$in>;
  return $text // '';
}

sub hashes {
  return [grep { length } split /\n/, slurp($_[0])];
}

sub verdict {
  my ($ok, $text) = @_;
  print "$text\n";
  exit($ok ? 0 : 1);
}

# The fed items must end with the received ones; when they do not, the
# alignment that explains the most received items names the first fault.
# "S before them ..., T after them ...", for the parts that are there.
sub around {
  my ($before, $after, $unit) = @_;
  my @parts;
  push @parts, "$before before them were in the store before the stream started" if $before;
  push @parts, "$after after them were fed too late to be sent before the daemon stopped" if $after;
  return @parts ? " (of the $unit fed, " . join(' and ', @parts) . ")" : '';
}

sub frames {
  my ($fed, $decoded, $lead, $tail) = (hashes($_[0]), hashes($_[1]), $_[2], $_[3] // 0);
  my ($n, $m) = (scalar @$fed, scalar @$decoded);
  verdict(0, "no frame decoded of $n fed") if $m == 0;
  verdict(0, "$m frames decoded, more than the $n fed") if $m > $n;
  # Where the decoded run lies: the earliest place, within the lead, that fits.
  for my $start (0 .. ($lead < $n - $m ? $lead : $n - $m)) {
    my $i = 0;
    $i++ while $i < $m && $decoded->[$i] eq $fed->[$start + $i];
    next if $i < $m;
    my $after = $n - $start - $m;
    verdict(0, "the last $after of $n fed frames were not decoded"
      . ($tail ? " (only $tail may come too late for the stop)" : "")) if $after > $tail;
    verdict(1, "all $m decoded frames are fed frames " . ($start + 1) . " to " . ($start + $m)
      . " in order, each identical" . around($start, $after, $n));
  }
  my $start = $n - $m;
  my $i = 0;
  $i++ while $i < $m && $decoded->[$i] eq $fed->[$start + $i];
  verdict(0, "the first $start of $n fed frames were not decoded (at most $lead may precede the stream's start)")
    if $i == $m;
  my ($best, $best_run) = (-1, -1);
  for my $s (0 .. $n - 1) {
    my $run = 0;
    $run++ while $run < $m && $s + $run < $n && $decoded->[$run] eq $fed->[$s + $run];
    ($best, $best_run) = ($s, $run) if $run >= $best_run;
  }
  verdict(0, "the first decoded frame is none of the $n fed frames") if $best_run == 0;
  if ($best_run == $m) {
    verdict(0, "the last " . ($n - $best - $m) . " of $n fed frames were not decoded");
  }
  my $at = $best + $best_run;
  verdict(0, "decoded frame " . ($best_run + 1) . " comes after the last fed frame") if $at >= $n;
  my ($was) = grep { $fed->[$_] eq $decoded->[$best_run] } 0 .. $n - 1;
  verdict(0, "decoded frame " . ($best_run + 1) . " should be fed frame " . ($at + 1) . " but is "
    . (defined $was ? "fed frame " . ($was + 1) : "a picture that was never fed"));
}

sub bytes {
  my ($fed, $got, $lead, $unit, $tail) = (slurp($_[0]), slurp($_[1]), $_[2], $_[3], $_[4] // 0);
  my ($n, $m) = (length $fed, length $got);
  verdict(0, "no audio received of $n bytes fed") if $m == 0;
  verdict(0, "$m bytes received, more than the $n fed") if $m > $n;
  # Where the received audio begins: the latest place that fits.
  my $start = -1;
  for my $s (reverse 0 .. ($lead < $n - $m ? $lead : $n - $m)) {
    if (substr($fed, $s, $m) eq $got) {
      $start = $s;
      last;
    }
  }
  if ($start >= 0) {
    my $waiting = $n - $start - $m;
    verdict(0, "the last $waiting of $n fed bytes were not received") if $waiting >= $unit + $tail;
    my $after = $waiting > $tail ? $tail : $waiting;
    verdict(1, "all $m received bytes are fed bytes " . ($start + 1) . " to " . ($start + $m)
      . " in order, each identical" . around($start, $after, $n)
      . ($waiting > $after ? "; the last " . ($waiting - $after) . " wait in the sender for a whole $unit-byte packet" : ""));
  }
  # A short prefix finds where the received audio begins; a shorter one
  # still when a fault lies within it.
  my $from = -1;
  for my $length (64, 16, 4) {
    $from = index($fed, substr($got, 0, $m < $length ? $m : $length));
    last if $from >= 0;
  }
  verdict(0, "the received audio does not begin with any fed samples") if $from < 0;
  verdict(0, "the first $from of $n fed bytes were not received (at most $lead may precede the stream's start)")
    if $from > $lead && substr($fed, $from, $m) eq $got;
  my $i = 0;
  $i++ while $i < $m && $from + $i < $n && substr($fed, $from + $i, 1) eq substr($got, $i, 1);
  verdict(0, "received byte " . ($i + 1) . " of $m differs from fed byte " . ($from + $i + 1));
}

sub documents {
  my ($doc, $got) = (slurp($_[0]), slurp($_[1]));
  verdict(0, "the document to compare with is empty") if length $doc == 0;
  my $count = 0;
  my $at = 0;
  while ($at < length $got && substr($got, $at, length $doc) eq $doc) {
    $count++;
    $at += length $doc;
  }
  verdict(0, "no metadata document received") if length $got == 0;
  verdict(0, "document " . ($count + 1) . " differs from the delivered one (at byte " . ($at + 1) . ")")
    if $at < length $got;
  verdict(1, "$count documents received, each identical to the delivered one");
}

my $what = shift // '';
if ($what eq 'frames' && (@ARGV == 3 || @ARGV == 4)) {
  frames(@ARGV);
} elsif ($what eq 'bytes' && (@ARGV == 4 || @ARGV == 5)) {
  bytes(@ARGV);
} elsif ($what eq 'documents' && @ARGV == 2) {
  documents(@ARGV);
}
print STDERR "usage: check.pl frames FED DECODED LEAD [TAIL] | bytes FED RECEIVED LEAD UNIT [TAIL] | documents DOCUMENT RECEIVED\n";
exit 2;
