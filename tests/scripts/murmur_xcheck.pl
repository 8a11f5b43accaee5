#!/usr/bin/perl
# Second implementation of MurmurHash3's x86 variants (Debian's
# libdigest-murmurhash3-pureperl-perl, written independently of the C++ code)
# for the C++ tests to check against in both directions. Same requests and
# answers as murmur_xcheck.go, one line each:
#   hash VARIANT SEED HEXKEY  -> DIGEST
#   gen VARIANT               -> "SEED HEXKEY DIGEST" for a key and seed of its own
# VARIANT is x86_32 (8 hex digits) or x86_128 (four 32-bit words, 32 hex
# digits); SEED is decimal and below 2^32; HEXKEY "-" is the empty key.
# The module hashes the UTF-8 form of a text, so a key must be valid UTF-8:
# it is decoded to characters here and hashed as exactly its own bytes. Keys
# of its own choosing are random characters from every UTF-8 length.
use strict;
use warnings;
use Digest::MurmurHash3::PurePerl qw(murmur32 murmur128);

sub digest {
    my ($variant, $seed, $key) = @_;
    return sprintf('%08x', murmur32($key, $seed)) if $variant eq 'x86_32';
    return join('', map { sprintf('%08x', $_) } murmur128($key, $seed)) if $variant eq 'x86_128';
    die "unknown variant $variant\n";
}

sub random_bytes {
    my ($n) = @_;
    open(my $r, '<:raw', '/dev/urandom') or die "/dev/urandom: $!\n";
    my $got = read($r, my $b, $n);
    die "short read from /dev/urandom\n" unless defined $got && $got == $n;
    close($r);
    return $b;
}

# A code point of one to four UTF-8 bytes, surrogates left out.
sub random_char {
    my $r = unpack('V', random_bytes(4));
    my @ranges = ([0x00, 0x7f], [0x80, 0x7ff], [0x800, 0xd7ff], [0xe000, 0xffff], [0x10000, 0x10ffff]);
    my ($lo, $hi) = @{ $ranges[$r % @ranges] };
    return $lo + int($r / @ranges) % ($hi - $lo + 1);
}

while (my $line = <STDIN>) {
    my @w = split(' ', $line);
    next unless @w;
    if (@w == 4 && $w[0] eq 'hash') {
        die "seed out of range\n" if $w[2] !~ /^\d+$/ || $w[2] > 4294967295;
        my $key = $w[3] eq '-' ? '' : pack('H*', $w[3]);
        utf8::decode($key) or die "key is not UTF-8: $w[3]\n";
        print digest($w[1], $w[2] + 0, $key), "\n";
    } elsif (@w == 2 && $w[0] eq 'gen') {
        my $seed = unpack('V', random_bytes(4));
        my $key = join('', map { chr(random_char()) } 1 .. unpack('C', random_bytes(1)) % 30);
        my $bytes = $key;
        utf8::encode($bytes);
        my $hex = length($bytes) ? unpack('H*', $bytes) : '-';
        print "$seed $hex ", digest($w[1], $seed, $key), "\n";
    } else {
        die "bad request: $line";
    }
}
