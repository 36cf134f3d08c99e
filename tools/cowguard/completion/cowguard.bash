# bash completion for cowguard: subcommands, their options, paths where an
# argument is a path, and the values of --block-size and --export.  The
# devices of `cowguard backup` are the daemon's and are not completed.  Installed as
# share/bash-completion/completions/cowguard; it needs nothing of the
# bash-completion package.

# Options that take a value, of every subcommand (the value is skipped when
# looking for the subcommand and for positional arguments).
_cowguard_takes_value() {
    case $1 in
        --module|--workdir|--rounds|--size|--block-size|--pause-ms|--seed|\
        --point|-o|--output|--script|--socket|--export|--tls-psk|\
        --tls-certificates|--cache) return 0 ;;
    esac
    return 1
}

_cowguard_dirs() {
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -d -- "$1"))
}

_cowguard_files() {
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$1"))
}

# Files ending in .ko, and directories to walk into.
_cowguard_modules() {
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -d -- "$1") $(compgen -f -X '!*.ko' -- "$1"))
}

_cowguard() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev= cword=$COMP_CWORD
    local -a words=("${COMP_WORDS[@]}")
    ((cword > 0)) && prev=${words[cword - 1]}
    # "--option=VALUE" comes split at '=': (--option = VALUE), or
    # (--option =) while the value is still empty.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((cword > 1)); then
        prev=${words[cword - 2]}
    fi

    # The subcommand, and how many positional arguments follow it.
    local sub= npos=0 i w
    for ((i = 1; i < cword; i++)); do
        w=${words[i]}
        if [[ $w == = ]]; then
            continue
        elif _cowguard_takes_value "$w"; then
            [[ ${words[i + 1]} == = ]] && ((i++))
            ((i++))
        elif [[ $w == -* ]]; then
            continue
        elif [[ -z $sub ]]; then
            sub=$w
        else
            ((npos++))
        fi
    done

    # "--export unix:PATH" comes split at ':' too (COMP_WORDBREAKS has it):
    # (--export unix :) or (--export unix : PATH); the path is a file.
    if [[ $cur == : && $prev == unix && ${words[cword - 2]:-} == --export ]]; then
        _cowguard_files ""
        return
    elif [[ $prev == : && ${words[cword - 2]:-} == unix && ${words[cword - 3]:-} == --export ]]; then
        _cowguard_files "$cur"
        return
    fi

    case $prev in
        --module) _cowguard_modules "$cur"; return ;;
        --workdir) _cowguard_dirs "$cur"; return ;;
        -o|--output|--script|--socket|--tls-psk) _cowguard_files "$cur"; return ;;
        --tls-certificates) _cowguard_dirs "$cur"; return ;;
        --export)
            if [[ $cur == unix:* ]]; then
                local IFS=$'\n' f
                COMPREPLY=()
                for f in $(compgen -f -- "${cur#unix:}"); do
                    [[ -d $f ]] && f+=/
                    COMPREPLY+=("unix:$f")
                done
                compopt -o nospace 2>/dev/null
            else
                COMPREPLY=($(compgen -W 'unix: tcp:127.0.0.1: tcp:localhost:' -- "$cur"))
                compopt -o nospace 2>/dev/null
            fi
            return ;;
        --block-size) COMPREPLY=($(compgen -W '1024 2048 4096' -- "$cur")); return ;;
        --size) COMPREPLY=($(compgen -W '8M 16M 64M 256M 1G' -- "$cur")); return ;;
        --rounds|--pause-ms|--seed|--point|--cache) return ;;
    esac

    local opts
    case $sub in
        '')
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--module --version --help -h' -- "$cur"))
            else
                COMPREPLY=($(compgen -W 'demo restore verify list info check console serve backup
                                         status stop make-image' -- "$cur"))
            fi
            return ;;
        demo)
            opts='--workdir --keep --rounds --size --block-size --pause-ms --seed --json
                  --no-progress --module --help -h' ;;
        restore)
            opts='--point -o --output --json --no-progress --module --help -h' ;;
        verify)
            opts='--point --quick --json --no-progress --module --help -h' ;;
        list|info)
            opts='--json --module --help -h' ;;
        check)
            opts='--repair --json --module --help -h' ;;
        console)
            opts='--script --quiet -q --module --help -h' ;;
        serve)
            opts='--socket --export --tls-psk --tls-certificates --foreground --module --help -h' ;;
        backup)
            opts='--full --incremental --all-blocks --new-chain --cache --socket --json --no-progress
                  --module --help -h' ;;
        status)
            opts='--socket --json --module --help -h' ;;
        stop)
            opts='--socket --module --help -h' ;;
        make-image)
            opts='--size --block-size --module --help -h' ;;
        *)
            return ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    # The backup directory: the one positional argument of these.
    case $sub in
        restore|verify|list|info|check)
            ((npos == 0)) && _cowguard_dirs "$cur" ;;
        # Disk images, as many as wanted; the one new image file.
        serve) _cowguard_files "$cur" ;;
        make-image) ((npos == 0)) && _cowguard_files "$cur" ;;
        # DEVICE is the daemon's (cowguard status lists them); then DIR.
        backup) ((npos == 1)) && _cowguard_dirs "$cur" ;;
    esac
}

complete -F _cowguard cowguard
