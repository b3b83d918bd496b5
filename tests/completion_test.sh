#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a shell's completion for tagwrap in that very shell: a file name
# first, then the model keys, which it takes from the usage text of the
# tagwrap it completes.
# Usage: completion_test.sh bash|zsh|fish path/to/tagwrap path/to/completion
set -u

shell=$1
tagwrap=$(realpath "$2")
completion=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! command -v "$shell" > /dev/null; then
  echo "$shell is not installed"
  # CI sets TAGWRAP_REQUIRE_TOOLS so that this check is never skipped there.
  [ -n "${TAGWRAP_REQUIRE_TOOLS:-}" ] && exit 1
  exit 77
fi
mkdir "$work/bin"
ln -s "$tagwrap" "$work/bin/tagwrap"
PATH=$work/bin:$PATH
cd "$work"
touch generic.trx generic.bin other.img

# zsh completes only at a terminal, so a zsh drives another through a
# pseudo-terminal (zpty), presses Tab and logs every match its completion
# adds, then waits for the end of the completion.
cat > drive.zsh << 'EOF'
zmodload zsh/zpty
fpath_dir=$1 log=$2 line=$3
zpty z zsh -f -i
zpty -w z "PROMPT='> '; fpath=(${(q)fpath_dir} \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w z "compadd() { if [[ \${@[1,(i)(-|--)]} == *-(O|A|D)\\ * ]]; then builtin compadd \"\$@\"; return; fi; local -a hits; builtin compadd -O hits \"\$@\"; print -rl -- \$hits >> ${(q)log}; builtin compadd \"\$@\"; }"
zpty -w z "_tagwrap_done() { print -n 'COMP''DONE' > /dev/tty; }; comppostfuncs=(_tagwrap_done)"
zpty -n -w z "$line"$'\t'
zpty -r z out '*COMPDONE*'
zpty -d z
EOF
mkdir zsh
cp "$completion" zsh/_tagwrap

# candidates LINE: prints what completing the last word of LINE offers.
candidates() {
  local line=$1
  case $shell in
    bash)
      # shellcheck source=/dev/null
      source "$completion"
      read -ra COMP_WORDS <<< "$line"
      [[ $line == *' ' ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      _tagwrap
      printf '%s\n' "${COMPREPLY[@]}"
      ;;
    zsh)
      rm -f zsh.log
      timeout 30 zsh -f drive.zsh "$work/zsh" "$work/zsh.log" "$line" ||
        echo "zsh gave no answer"
      [ -f zsh.log ] && cat zsh.log
      ;;
    fish)
      fish --no-config -c 'source $argv[1]; complete --do-complete $argv[2]' \
        "$completion" "$line" | cut -f 1
      ;;
  esac
}

failures=0
# expect LINE REPLIES...: completing the last word of LINE gives REPLIES.
expect() {
  local line=$1
  shift
  local got want
  got=$(candidates "$line" | sed '/^$/d' | sort -u)
  want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  if [ "$got" = "$want" ]; then
    echo "ok   $shell: $line"
  else
    echo "FAIL $shell: $line: got"$'\n'"$got"$'\n'"expected"$'\n'"$want"
    failures=$((failures + 1))
  fi
}

expect "tagwrap generic.trx w" wla-g54 wla-g54c wla2-g54c wla2-g54l \
  wbr-g54 wbr2-g54 wbr2-g54s wli-tx4-g54hp wli3-tx1-g54 wzr-rs-g54
expect "tagwrap generic.trx wzr" wzr-rs-g54
# fish matches regardless of case where nothing matches otherwise, as it
# does for every command.
[ "$shell" != fish ] && expect "tagwrap generic.trx WZR"
# zsh completes the file name with its own _files, which adds its matches
# out of sight of the log.
[ "$shell" != zsh ] && expect "tagwrap gen" generic.bin generic.trx
exit $((failures > 0))
