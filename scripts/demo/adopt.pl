#!/usr/bin/perl
# Starts a program that turns itself into a daemon and stays its reaper, so
# that the daemon's exit status can be known: as a child subreaper, the
# detached process becomes our child when its parent returns.
#
#   adopt.pl STATUSFILE COMMAND [ARGS...]
#
# Appends "PID STATUS" to STATUSFILE for every process reaped (the command
# itself first, then the daemon it left behind); STATUS is the exit code, or
# 128 + the signal that killed it. Ends when no child is left.
use strict;
use warnings;
use POSIX qw(:sys_wait_h);
use IO::Handle;

my ($status_file, @command) = @ARGV;
die "usage: adopt.pl STATUSFILE COMMAND [ARGS...]\n" unless @command;

use constant PR_SET_CHILD_SUBREAPER => 36;
require 'syscall.ph';
syscall(&SYS_prctl, PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
  or die "adopt.pl: cannot become a subreaper: $!\n";

open(my $log, '>>', $status_file) or die "adopt.pl: $status_file: $!\n";
$log->autoflush(1);

# Our own termination request must not leave the daemon unreaped: it is
# stopped by the caller with its own signal, and we wait for it.
$SIG{TERM} = $SIG{INT} = 'IGNORE';

my $pid = fork() // die "adopt.pl: fork: $!\n";
if ($pid == 0) {
  $SIG{TERM} = $SIG{INT} = 'DEFAULT';
  exec { $command[0] } @command or die "adopt.pl: cannot run $command[0]: $!\n";
}
while ((my $done = waitpid(-1, 0)) > 0) {
  my $code = WIFEXITED($?) ? WEXITSTATUS($?) : 128 + WTERMSIG($?);
  print $log "$done $code\n";
}
