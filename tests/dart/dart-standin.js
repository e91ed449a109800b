#!/usr/bin/node
'use strict';
// Stands in for the dart tool where no Dart SDK is installed. It accepts only
// the engine's program file holding exactly the expected program, then does
// what that program does, with JavaScript's RegExp (Dart's RegExp has
// JavaScript's syntax and semantics). Uncaught Dart errors are imitated: a
// description on standard error and status 255.

const fs = require('fs');
const path = require('path');

const PROGRAM_PATH = '/tmp/brindlecap-dart.dart';
const EXPECTED_PROGRAM = path.join(__dirname, 'expected-program.dart');

function writeAll(fd, text) {
  const bytes = Buffer.from(text, 'utf8');
  let done = 0;
  while (done < bytes.length) {
    try {
      done += fs.writeSync(fd, bytes, done, bytes.length - done);
    } catch (error) {
      if (error.code !== 'EAGAIN') throw error;
    }
  }
}

function fail(message, status) {
  writeAll(2, message + '\n');
  process.exit(status);
}

function uncaught(description) {
  fail('Unhandled exception:\n' + description + '\n#0      main (file://' + PROGRAM_PATH + ')', 255);
}

// The name Dart gives the runtime type of a decoded JSON value.
function dartType(value) {
  if (value === null || value === undefined) return 'Null';
  if (typeof value === 'string') return 'String';
  if (typeof value === 'boolean') return 'bool';
  if (typeof value === 'number') return Number.isInteger(value) ? 'int' : 'double';
  if (Array.isArray(value)) return 'List<dynamic>';
  return '_Map<String, dynamic>';
}

function print(text) {
  writeAll(1, text + '\n');
}

// --- the command line and the program file ---------------------------------
const args = process.argv.slice(2);
if (args.length !== 1 || args[0] !== PROGRAM_PATH) {
  fail('dart stand-in: expected the one argument ' + PROGRAM_PATH + ', got ' + JSON.stringify(args), 64);
}
let program;
try {
  program = fs.readFileSync(args[0]);
} catch (error) {
  const reason = error.code === 'ENOENT' ? 'No such file or directory' : error.message;
  fail("Error when reading '" + args[0] + "': " + reason, 254);
}
if (!program.equals(fs.readFileSync(EXPECTED_PROGRAM))) {
  fail('dart stand-in: ' + args[0] + ' does not hold the expected program', 65);
}

// --- the program -------------------------------------------------------------
// stdin.readLineSync()!
const input = fs.readFileSync(0, 'utf8');
if (input.length === 0) uncaught('Null check operator used on a null value');
let line = input.split('\n')[0];
if (line.endsWith('\r')) line = line.slice(0, -1);

let req;
try {
  req = JSON.parse(line);
} catch (error) {
  uncaught('FormatException: ' + error.message);
}
if (req === null || typeof req !== 'object' || Array.isArray(req)) {
  uncaught("NoSuchMethodError: Class '" + dartType(req) + "' has no instance method '[]'.");
}

const op = req.op ?? null;
const pattern = req.pattern ?? null;
const text = req.text ?? '';
const flags = req.flags ?? '';

if (typeof pattern !== 'string') {
  uncaught("type '" + dartType(pattern) + "' is not a subtype of type 'String'");
}
function flagSet(letter) {
  if (typeof flags === 'string') return flags.includes(letter);
  if (Array.isArray(flags)) return flags.some((element) => element === letter);
  uncaught("NoSuchMethodError: Class '" + dartType(flags) + "' has no instance method 'contains'.");
}
let options = '';
if (flagSet('i')) options += 'i';
if (flagSet('m')) options += 'm';
if (flagSet('s')) options += 's';
if (flagSet('u')) options += 'u';
let regex;
try {
  regex = new RegExp(pattern, options);
} catch (error) {
  uncaught('FormatException: ' + error.message);
}
if (typeof text !== 'string') {
  uncaught("type '" + dartType(text) + "' is not a subtype of type 'String'");
}
const everyMatch = () => text.matchAll(new RegExp(pattern, 'g' + options));

if (op === 'test') {
  for (const m of everyMatch()) {
    const parts = [m.index, m[0].length, m[0]];
    for (let i = 1; i < m.length; i++) parts.push(m[i] ?? '');
    print(parts.join('\t'));
  }
} else if (op === 'replace') {
  let replaced = '';
  let last = 0;
  for (const m of everyMatch()) {
    let result = req.replacement ?? '';
    if (typeof result !== 'string') {
      uncaught("NoSuchMethodError: Class '" + dartType(result) + "' has no instance method 'replaceAll'.");
    }
    // String.replaceAll in Dart: literal, left to right, without overlap.
    for (let i = 1; i < m.length; i++) result = result.split('$' + i).join(m[i] ?? '');
    result = result.split('$&').join(m[0]);
    replaced += text.slice(last, m.index) + result;
    last = m.index + m[0].length;
  }
  print(replaced + text.slice(last));
} else {
  print(regex.test(text) ? '1' : '0');
}
