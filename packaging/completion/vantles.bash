# bash completion for vantles: the commands, then each command's options as `vantles help`
# lists them (so they cannot fall behind the tool), then paths; after run's "--", a command
# and its arguments.
_vantles() {
    local cur=${COMP_WORDS[COMP_CWORD]} i
    if ((COMP_CWORD == 1)); then
        local commands
        commands=$(vantles --help 2>/dev/null |
            awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }')
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi
    for ((i = 2; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            if ((i + 1 == COMP_CWORD)); then
                mapfile -t COMPREPLY < <(compgen -c -- "$cur")
            else
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            fi
            return
        fi
    done
    if [[ $cur == -* ]]; then
        local options
        options=$(vantles help "${COMP_WORDS[1]}" 2>/dev/null | grep -o -- '--[a-z][a-z-]*' |
            sort -u)
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _vantles vantles
