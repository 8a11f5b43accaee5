#!/usr/bin/env node
// Second implementation of MurmurHash3 (the npm package
// murmurhash3js-revisited, written independently of the C++ code) for the
// C++ tests to check against in both directions.
//
//   murmur_xcheck.js hash      reads "VARIANT SEED HEXKEY" lines on stdin and
//                              writes one hex digest line for each
//   murmur_xcheck.js gen N     writes N lines "VARIANT SEED HEXKEY DIGEST" on
//                              keys and seeds of its own choosing
//
// VARIANT is x64_128, x86_32 or x86_128; SEED is decimal and below 2^32 (the
// published functions take 32-bit seeds). DIGEST is the package's text:
// x64_128 as the two 64-bit words h1 h2, x86_128 as four 32-bit words, each
// word as fixed-width lower-case hex; x86_32 as 8 hex digits. HEXKEY "-"
// stands for the empty key.
//
// The package is installed on first use into $QV_NPM_PREFIX (default
// $TMPDIR/qv-npm), outside the source tree.
'use strict';

const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const PKG = 'murmurhash3js-revisited';
const PKG_VERSION = '3.0.0';

function loadPackage() {
  const prefix = process.env.QV_NPM_PREFIX || path.join(os.tmpdir(), 'qv-npm');
  const where = path.join(prefix, 'node_modules', PKG);
  if (!fs.existsSync(where)) {
    fs.mkdirSync(prefix, { recursive: true });
    childProcess.execFileSync('npm', ['install', '--no-save', '--no-audit', '--no-fund', '--prefix', prefix,
      `${PKG}@${PKG_VERSION}`], { stdio: ['ignore', 'ignore', 'inherit'] });
  }
  return require(where);
}

const mm = loadPackage();

function digest(variant, seed, key) {
  switch (variant) {
    case 'x64_128': return mm.x64.hash128(key, seed);
    case 'x86_128': return mm.x86.hash128(key, seed);
    case 'x86_32': return (mm.x86.hash32(key, seed) >>> 0).toString(16).padStart(8, '0');
    default: throw new Error(`unknown variant ${variant}`);
  }
}

function hashLines(text) {
  const out = [];
  for (const line of text.split('\n')) {
    if (line.trim() === '') continue;
    const [variant, seed, hex = ''] = line.trim().split(/\s+/);
    out.push(digest(variant, Number(seed), Buffer.from(hex === '-' ? '' : hex, 'hex')));
  }
  return out.join('\n') + '\n';
}

function generate(n) {
  const variants = ['x64_128', 'x86_32', 'x86_128'];
  const out = [];
  for (let i = 0; i < n; i++) {
    const variant = variants[i % variants.length];
    const key = crypto.randomBytes(crypto.randomInt(0, 100));
    const seed = crypto.randomBytes(4).readUInt32LE(0);
    const keyHex = key.length ? key.toString('hex') : '-';
    out.push(`${variant} ${seed} ${keyHex} ${digest(variant, seed, key)}`);
  }
  return out.join('\n') + '\n';
}

const mode = process.argv[2];
if (mode === 'hash') {
  process.stdout.write(hashLines(fs.readFileSync(0, 'utf8')));
} else if (mode === 'gen') {
  process.stdout.write(generate(Number(process.argv[3] || 1000)));
} else {
  process.stderr.write('usage: murmur_xcheck.js hash | gen N\n');
  process.exit(2);
}
