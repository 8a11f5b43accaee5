// Second implementation of MurmurHash3 for the C++ tests to check against in
// both directions: Debian's golang-github-twmb-murmur3-dev, written
// independently of the C++ code, built from its Debian source directory with
// nothing downloaded. It has the x64 128-bit variant with two 64-bit seeds
// (the tables' variant starts both halves with one 64-bit seed) and the x86
// 32-bit variant.
//
// Reads one request per line on stdin and writes one answer line per request:
//
//	verify                    -> the published verification value of x64_128, 8 hex digits
//	hash VARIANT SEED HEXKEY  -> DIGEST
//	gen VARIANT               -> "SEED HEXKEY DIGEST" for a key and seed of its own
//
// VARIANT is x64_128 (SEED below 2^64) or x86_32 (SEED below 2^32); SEED is
// decimal; HEXKEY "-" is the empty key. DIGEST is x64_128's two 64-bit words
// as one 32-digit lower-case hex word, or x86_32's value as 8 hex digits.
package main

import (
	"bufio"
	"crypto/rand"
	"encoding/binary"
	"encoding/hex"
	"fmt"
	"math/big"
	"os"
	"strconv"
	"strings"

	"github.com/twmb/murmur3"
)

func digest(variant string, seed uint64, key []byte) (string, error) {
	switch variant {
	case "x64_128":
		h1, h2 := murmur3.SeedSum128(seed, seed, key)
		return fmt.Sprintf("%016x%016x", h1, h2), nil
	case "x86_32":
		if seed > 0xffffffff {
			return "", fmt.Errorf("x86_32 takes a 32-bit seed")
		}
		return fmt.Sprintf("%08x", murmur3.SeedSum32(uint32(seed), key)), nil
	}
	return "", fmt.Errorf("unknown variant %q", variant)
}

// The published check: hash keys {}, {0}, {0,1}, ... {0..254} with seed 256-i,
// hash the concatenated results with seed 0, and take the first four bytes
// of that as a little-endian value.
func verify() string {
	var all []byte
	key := make([]byte, 0, 256)
	for i := 0; i < 256; i++ {
		h1, h2 := murmur3.SeedSum128(uint64(256-i), uint64(256-i), key)
		var out [16]byte
		binary.LittleEndian.PutUint64(out[:8], h1)
		binary.LittleEndian.PutUint64(out[8:], h2)
		all = append(all, out[:]...)
		key = append(key, byte(i))
	}
	h1, _ := murmur3.SeedSum128(0, 0, all)
	return fmt.Sprintf("%08x", uint32(h1))
}

func randomUint(bits uint) uint64 {
	n, err := rand.Int(rand.Reader, new(big.Int).Lsh(big.NewInt(1), bits))
	if err != nil {
		panic(err)
	}
	return n.Uint64()
}

func answer(words []string) (string, error) {
	switch {
	case len(words) == 1 && words[0] == "verify":
		return verify(), nil
	case len(words) == 4 && words[0] == "hash":
		seed, err := strconv.ParseUint(words[2], 10, 64)
		if err != nil {
			return "", err
		}
		key := []byte{}
		if words[3] != "-" {
			if key, err = hex.DecodeString(words[3]); err != nil {
				return "", err
			}
		}
		return digest(words[1], seed, key)
	case len(words) == 2 && words[0] == "gen":
		bits := uint(64)
		if words[1] == "x86_32" {
			bits = 32
		}
		seed := randomUint(bits)
		key := make([]byte, randomUint(7)%70)
		if _, err := rand.Read(key); err != nil {
			return "", err
		}
		d, err := digest(words[1], seed, key)
		keyHex := hex.EncodeToString(key)
		if keyHex == "" {
			keyHex = "-"
		}
		return fmt.Sprintf("%d %s %s", seed, keyHex, d), err
	}
	return "", fmt.Errorf("bad request %q", strings.Join(words, " "))
}

func main() {
	in := bufio.NewScanner(os.Stdin)
	in.Buffer(make([]byte, 1<<20), 1<<20)
	out := bufio.NewWriter(os.Stdout)
	defer out.Flush()
	for in.Scan() {
		words := strings.Fields(in.Text())
		if len(words) == 0 {
			continue
		}
		a, err := answer(words)
		if err != nil {
			fmt.Fprintln(os.Stderr, err)
			out.Flush()
			os.Exit(1)
		}
		fmt.Fprintln(out, a)
	}
}
