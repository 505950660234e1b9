# bash completion of kxsim and kxmodem. The options come from the programs'
# own --help, so the completion and the option tables cannot drift apart.

_kxradio_options() {
    "$@" --help 2>/dev/null | grep -o -- '--[a-z][a-z0-9-]*' | sort -u
}

_kxsim() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [ "$COMP_CWORD" -eq 1 ]; then
        local subcommands
        subcommands=$("${COMP_WORDS[0]}" --help 2>/dev/null | awk '/^subcommands:/ {on=1; next} on && NF {print $1} on && !NF {on=0}')
        mapfile -t COMPREPLY < <(compgen -W "$subcommands --help --version" -- "$cur")
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kxradio_options "${COMP_WORDS[0]}" "${COMP_WORDS[1]}")" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_kxmodem() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kxradio_options "${COMP_WORDS[0]}")" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -F _kxsim kxsim
complete -F _kxmodem kxmodem
