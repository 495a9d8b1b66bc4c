# bash completion for tarnwick-cli. Commands, sub-commands and options are read from the
# program's own help, so new ones complete without a change here.
_tarnwick_cli() {
    local cur prev words cword
    _init_completion || return

    local program=${words[0]}
    if ((cword == 1)); then
        local commands
        commands=$("$program" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9-]*\).*/\1/p')
        COMPREPLY=($(compgen -W "$commands --help" -- "$cur"))
        return
    fi

    local command=${words[1]} help
    help=$("$program" "$command" --help 2>/dev/null) || return
    case $prev in
        --folder)
            _filedir -d
            return
            ;;
        -o)
            _filedir png
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        options=$(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)
        COMPREPLY=($(compgen -W "$options --folder --help" -- "$cur"))
        return
    fi
    if ((cword == 2)); then
        # "Usage: tarnwick-cli styles list" lines name the sub-commands of a group.
        local subcommands
        subcommands=$(sed -n "s/^\(Usage:\)\? *tarnwick-cli $command \([a-z][a-z-]*\)\( .*\)\?$/\2/p" <<<"$help")
        if [[ -n $subcommands ]]; then
            COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
            return
        fi
    fi
    _filedir
}
complete -F _tarnwick_cli tarnwick-cli
