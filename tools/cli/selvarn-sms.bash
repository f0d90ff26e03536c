# bash completion for selvarn-sms. Commands, options and choices are read from the
# program's own --help, so they are always those of the version on PATH.

# The help text on stdin as one item a line: "command NAME", "flag --NAME",
# "value --NAME TYPE" (an option that takes a value) or "choice WORD" (a positional's,
# listed as "on|off"). Option lines read "  -h, --help  Text" or "  --port N  Text".
_selvarn_sms_items() {
  awk '
    /^[A-Za-z][A-Za-z ]*:$/ { section = $0; next }
    section == "Commands:" && /^  [a-z]/ { print "command", $1; next }
    /^  [^ ]/ {
      left = substr($0, 3)
      sub(/  .*/, "", left)  # the left column ends where two spaces start the text
      if (section == "Arguments:") {
        if (left ~ /\|/) {
          n = split(left, words, "|")
          for (i = 1; i <= n; i++) print "choice", words[i]
        }
        next
      }
      if (left !~ /^-/) next
      n = split(left, words, " ")
      value = ""
      k = 0
      for (i = 1; i <= n; i++) {
        w = words[i]
        sub(/,$/, "", w)
        if (w ~ /^--/) names[++k] = w
        else if (w !~ /^-/) value = w
      }
      for (i = 1; i <= k; i++) {
        if (value != "") print "value", names[i], value; else print "flag", names[i]
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
