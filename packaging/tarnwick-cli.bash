# bash completion for tarnwick-cli. Commands, sub-commands and options are read from the
# program's own help, so new ones complete without a change here.
_tarnwick_cli() {
    local cur prev words cword split
    _init_completion -s || return

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
    $split && return

    # --folder DIR may come before the command as well as after it.
    local program=${words[0]} command="" at=0 i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --folder) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]} at=$i
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--folder --help --version" -- "$cur"))
        else
            local commands
            commands=$("$program" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9-]*\).*/\1/p')
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    local help
    help=$("$program" "$command" --help 2>/dev/null) || return
    if [[ $cur == -* ]]; then
        local options
        options=$({ grep -o -- '--[a-z][a-z0-9-]*' <<<"$help"; echo --folder; echo --help; } | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    if ((cword == at + 1)); then
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
