#!/usr/bin/perl
# Messages for the kill tests (bench/kill_writes.sh), and the check of the
# INI file a killed display leaves behind.
#
#   kill_messages.pl flood PORT          sends message 1, 2, 3... to the display until stopped
#   kill_messages.pl check FILE REFERENCE INITIAL
#       exit 0 when FILE is whole: every line but [historique] infos as in
#       REFERENCE byte for byte, and infos decoding to a message of the flood
#       exactly (or to INITIAL, when no message was stored yet); else exit 1
#       with the reason on stdout.
#
# Message k carries its number as "<k>", so the check can rebuild the exact
# bytes sent: a stored value that no message had cannot match.
use strict;
use warnings;
use IO::Socket::INET;

sub message {
    my ($k) = @_;
    my @prefix = ("", "  ", "\xff1", "\"", "\t");  # blanks, the ticker command, a quote
    my @length = (0, 5, 40, 300, 588, 589, 590, 1500, 9000, 30000);
    my $prefix = $prefix[$k % @prefix];
    my $length = $length[int($k / @prefix) % @length];
    my $filler = "R\xe9union \\ \"q\" [s] k=v ; # \x80 ";
    $filler .= "\r\n" if $k % 3 == 0;
    $filler .= "\n" if $k % 7 == 0;
    $filler .= "\r" if $k % 11 == 0;
    my $body = substr($filler x (1 + int($length / length $filler)), 0, $length);
    my $suffix = $k % 4 == 0 ? " \t" : "";
    return "$prefix<$k>$body$suffix";
}

sub flood {
    my ($port) = @_;
    my $socket = IO::Socket::INET->new(Proto => 'udp', PeerAddr => "127.0.0.1:$port") or die "flood: $!\n";
    for (my $k = 1; ; ++$k) {
        # Refused while no display listens (between kills): go on regardless.
        $socket->send(message($k));
        select(undef, undef, undef, 0.001) if $k % 50 == 0;  # leave the display some of the machine
    }
}

sub readBytes {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or return undef;
    local $/;
    my $bytes = <$in>;
    return defined $bytes ? $bytes : "";
}

# The lines with their endings, and the [historique] infos line taken out.
sub splitFile {
    my ($bytes) = @_;
    my @lines = $bytes =~ /([^\r\n]*(?:\r\n|\r|\n|$))/g;
    pop @lines if @lines && $lines[-1] eq "";
    my ($section, $infos, @rest) = ("", undef);
    for my $line (@lines) {
        if ($line =~ /^\s*\[([^\]]*)\]/) { $section = lc $1; }
        elsif (!defined $infos && $section eq "historique" && $line =~ /^\s*infos\s*=/i) { $infos = $line; next; }
        push @rest, $line;
    }
    return ($infos, @rest);
}

sub decode {
    my ($text) = @_;
    $text =~ s/^[ \t]+|[ \t]+$//g;
    if (length $text >= 2 && $text =~ /^"(.*)"$/s) {
        my $inner = $1;
        $inner =~ s/\\([\\rn])/$1 eq 'r' ? "\r" : $1 eq 'n' ? "\n" : "\\"/ge;
        return $inner;
    }
    return $1 if length $text >= 2 && $text =~ /^'(.*)'$/s;
    return $text;
}

sub check {
    my ($path, $referencePath, $initial) = @_;
    my $bytes = readBytes($path);
    return "the file is missing or unreadable" unless defined $bytes;
    my ($infos, @rest) = splitFile($bytes);
    my (undef, @expected) = splitFile(readBytes($referencePath));
    return "no [historique] infos line" unless defined $infos;
    return "the other lines changed" unless join("", @rest) eq join("", @expected);
    (my $raw = $infos) =~ s/^\s*infos\s*=//i;
    $raw =~ s/(\r\n|\r|\n)$//;
    my $value = decode($raw);
    return "" if $value eq $initial;
    return "infos holds no message of the flood" unless $value =~ /<(\d+)>/;
    return "infos holds message $1 altered (" . length($value) . " bytes)" unless $value eq message($1);
    return "";
}

my $mode = shift // '';
if ($mode eq 'flood' && @ARGV == 1) {
    flood($ARGV[0]);
} elsif ($mode eq 'check' && @ARGV == 3) {
    my $reason = check(@ARGV);
    print "$reason\n" if $reason ne "";
    exit($reason eq "" ? 0 : 1);
} else {
    print STDERR "usage: kill_messages.pl flood PORT | check FILE REFERENCE INITIAL\n";
    exit 2;
}
