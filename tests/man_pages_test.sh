#!/usr/bin/env bash
# The manual pages tools/*.1 are help2man's rendering of each tool's --help
# and --version: this fails when one no longer matches its tool, and with
# --update rewrites them.
# usage: man_pages_test.sh SOURCE-DIR TOOL-DIR [--update]
set -euo pipefail
source_dir=$1
tool_dir=$2
update=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A names=(
  [dtmf-listen]="print the DTMF key presses heard on an ALSA capture device"
  [dtmf-dial]="dial a string of DTMF digits as tones"
  [dtmf-scan]="find DTMF key presses in recordings"
  [dtmf-redact]="mask the DTMF key tones of recordings"
  [dtmf-roundtrip]="dial DTMF digits into a loopback and check that each is heard"
)

# Comments (help2man's version) and the title line (a date) may differ.
body() { grep -v -e '^\.\\"' -e '^\.TH ' "$1"; }

# help2man knows one level of list. A list inside an option's description
# (lines indented past the description, each "NAME  text" with its text
# continued in its column) would come out as stray paragraphs, so it is cut
# out of the help text, replaced by a marker line that help2man keeps, and set
# in its place as a nested list.
cut_lists() { # HELP-FILE LIST-DIR; prints the help text with markers
  perl -e '
    use strict;
    use warnings;
    my ($help, $dir) = @ARGV;
    open my $in, "<", $help or die "$help: $!";
    my @lines = <$in>;
    sub roff { my $s = shift; $s =~ s/\\/\\e/g; $s =~ s/-/\\-/g; $s =~ s/^([.\x27])/\\&$1/; $s }
    my ($column, $lists) = (0, 0);
    for (my $i = 0; $i < @lines; $i++) {
      my $line = $lines[$i];
      if ($line =~ /^ {1,10}[+-]\S/) {
        if ($line =~ /^( {1,10}[+-]\S.*?  +)\S/) { $column = length $1 }
        elsif ($i + 1 < @lines && $lines[$i + 1] =~ /^( {20,})\S/) { $column = length $1 }
        print $line;
        next;
      }
      my ($indent) = $line =~ /^( *)\S/;
      if (!defined $indent || $indent eq "") { $column = 0; print $line; next }
      if (!$column || length $indent <= $column || $line !~ /^ +\S+  +\S/) { print $line; next }
      my $width = length $indent;
      my $roff = ".RS\n";
      while ($i < @lines && $lines[$i] =~ /^( {$width}(\S+)  +)(\S.*)\n/) {
        my ($text_column, $tag) = (length $1, $2);
        $roff .= ".TP\n\\fB" . roff($tag) . "\\fR\n" . roff($3) . "\n";
        $i++;
        while ($i < @lines && $lines[$i] =~ /^ {$text_column}(\S.*)\n/) { $roff .= roff($1) . "\n"; $i++ }
      }
      $i--;
      $lists++;
      open my $out, ">", "$dir/$lists" or die "$dir/$lists: $!";
      print $out $roff, ".RE\n";
      print " " x $column, "HELP2MANLIST$lists\n";
    }
  ' "$@"
}
put_lists() { # PAGE LIST-DIR
  perl -i -pe 'if (/^HELP2MANLIST(\d+)$/) { open my $f, "<", "'"$2"'/$1" or die; local $/; $_ = <$f> }' "$1"
}

stale=0
for tool in "${!names[@]}"; do
  page=$source_dir/tools/$tool.1
  # help2man asks this stand-in for --help and the tool itself for the rest.
  mkdir -p "$work/$tool.lists" "$work/bin"
  "$tool_dir/$tool" --help >"$work/$tool.help"
  cut_lists "$work/$tool.help" "$work/$tool.lists" >"$work/$tool.cut"
  cat >"$work/bin/$tool" <<EOF
#!/bin/sh
if [ "\$1" = --help ]; then exec cat "$work/$tool.cut"; fi
exec "$(realpath "$tool_dir/$tool")" "\$@"
EOF
  chmod +x "$work/bin/$tool"
  help2man --no-info --section=1 --name="${names[$tool]}" \
    --include="$source_dir/tools/man.h2m" --output="$work/$tool.1" "$work/bin/$tool"
  put_lists "$work/$tool.1" "$work/$tool.lists"
  if [ "$update" = --update ]; then
    cp "$work/$tool.1" "$page"
  elif [ ! -f "$page" ] || ! diff -u <(body "$page") <(body "$work/$tool.1"); then
    echo "FAIL: $page does not match '$tool --help'; run $0 $source_dir $tool_dir --update" >&2
    stale=1
  fi
done
exit "$stale"
