# Bash completion for korvan-cli. The options and their values are read from
# `korvan-cli --help` when completing, so a new option completes as soon as
# the program has it: FILE values complete as files, a|b|c values as words.
_korvan_cli() {
  local cur prev help
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  help=$("${COMP_WORDS[0]}" --help 2>/dev/null) || help=$(korvan-cli --help 2>/dev/null)
  if [[ $prev == --* ]]; then
    # The first mention of the option: the word after it is its value.
    local value
    value=$(grep -oE -- "${prev}( [][A-Za-z|,.]+)?([^a-z-]|\$)" <<<"$help" | head -n 1)
    value=${value#"$prev"}
    value=${value# }
    case $value in
      FILE*) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
      *'|'*) value=${value%%[]]*}; COMPREPLY=($(compgen -W "${value//|/ }" -- "$cur")); return ;;
      '[N]'* | '' | [],]*) ;;  # a flag, or --preview's optional count
      *) return ;;  # a number or a column: nothing to offer
    esac
  fi
  if [[ $cur == -* || -z $cur ]]; then
    COMPREPLY=($(compgen -W "$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null
  fi
}
complete -F _korvan_cli korvan-cli
