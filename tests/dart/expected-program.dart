import 'dart:io';
import 'dart:convert';
void main() {
  var line = stdin.readLineSync()!;
  var req = jsonDecode(line);
  var op = req['op'];
  var pattern = req['pattern'];
  var text = req['text'] ?? '';
  var flags = req['flags'] ?? '';
  var regex = RegExp(
    pattern,
    caseSensitive: !flags.contains('i'),
    multiLine: flags.contains('m'),
    dotAll: flags.contains('s'),
    unicode: flags.contains('u'),
  );
  if (op == 'test') {
    for (var m in regex.allMatches(text)) {
      var parts = [m.start, m.end - m.start, m.group(0)];
      for (var i = 1; i <= m.groupCount; i++) {
        parts.add(m.group(i) ?? '');
      }
      print(parts.join('\t'));
    }
   } else if (op == 'replace') {
     print(text.replaceAllMapped(regex, (m) {
       var result = req['replacement'] ?? '';
       for (var i = 1; i <= m.groupCount; i++) {
         result = result.replaceAll('\$${i}', m.group(i) ?? '');
       }
       result = result.replaceAll('\$&', m.group(0) ?? '');
       return result;
     }));
   } else {
    print(regex.hasMatch(text) ? '1' : '0');
  }
}
