# bash completion for selvarn-sms. Commands, options and choices are read from the
# program's own --help, so they are always those of the version on PATH.

# The help text on stdin as one item a line: "command NAME", "flag --NAME",
# "value --NAME TYPE" (an option that takes a value) or "choice WORD" (a positional's).
_selvarn_sms_items() {
  awk '
    /^[A-Za-z][A-Za-z ]*:$/ { section = $0; next }
    section == "Subcommands:" && /^  [a-z]/ { print "command", $1; next }
    section == "Positionals:" && match($0, /\{[^}]*\}/) {
      n = split(substr($0, RSTART + 1, RLENGTH - 2), words, ",")
      for (i = 1; i <= n; i++) print "choice", words[i]
      next
    }
    /^  -/ {
      n = split($1, names, ",")
      value = $2 ~ /^[A-Z<]/ && $2 !~ /:$/
      for (i = 1; i <= n; i++) {
        if (names[i] !~ /^--/) continue
        sub(/\{.*/, "", names[i])  # --wait-report{120}: a default, not part of the name
        if (value) print "value", names[i], $2; else print "flag", names[i]
      }
    }'
}

_selvarn_sms() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local program=${COMP_WORDS[0]} command="" help kind name type i
  local -a options=() commands=() choices=()
  local -A value_type=()
  COMPREPLY=()
  help=$("$program" --help 2>/dev/null) || return 0

  # Options that take a value are known before the command is looked for, so that
  # "--port 3 send" finds send and not 3.
  while read -r kind name type; do
    case $kind in
      command) commands+=("$name") ;;
      value) value_type[$name]=$type ;;
    esac
  done < <(_selvarn_sms_items <<<"$help")
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -*) [[ -n ${value_type[${COMP_WORDS[i]}]-} ]] && ((i++)) ;;
      *)
        command=${COMP_WORDS[i]}
        break
        ;;
    esac
  done
  # Options before the command are the program's; after it, the command's and the program's.
  if [[ -n $command ]]; then
    help+=$'\n'$("$program" "$command" --help 2>/dev/null)
  fi
  while read -r kind name type; do
    case $kind in
      flag) options+=("$name") ;;
      value)
        options+=("$name")
        value_type[$name]=$type
        ;;
      choice) [[ -n $command ]] && choices+=("$name") ;;
    esac
  done < <(_selvarn_sms_items <<<"$help")

  if [[ -n ${value_type[$prev]-} ]]; then
    case $prev:${value_type[$prev]} in
      --device:*) mapfile -t COMPREPLY < <(compgen -f -- "${cur:-/dev/tty}") ;;
      *FILE* | *PATH*) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
  elif [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
  elif [[ $prev == "$command" && ($command == help || $command == call) ]]; then
    # The library's members (and for help its enumerations), as "help" lists them.
    local keys=member
    [[ $command == help ]] && keys='member\|enumeration'
    mapfile -t COMPREPLY < <(compgen -W "$("$program" --json help 2>/dev/null |
      sed -n "s/.*\"\($keys\)\":\"\([A-Za-z0-9_]*\)\".*/\2/p")" -- "$cur")
  elif ((${#choices[@]})); then
    mapfile -t COMPREPLY < <(compgen -W "${choices[*]}" -- "$cur")
  fi
  return 0
}
complete -F _selvarn_sms selvarn-sms
