# bash completion for cowguard: subcommands, their options, paths where an
# argument is a path, and the values of --block-size.  Installed as
# share/bash-completion/completions/cowguard; it needs nothing of the
# bash-completion package.

# Options that take a value, of every subcommand (the value is skipped when
# looking for the subcommand and for positional arguments).
_cowguard_takes_value() {
    case $1 in
        --module|--workdir|--rounds|--size|--block-size|--pause-ms|--seed|\
        --point|-o|--output|--script) return 0 ;;
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

    case $prev in
        --module) _cowguard_modules "$cur"; return ;;
        --workdir) _cowguard_dirs "$cur"; return ;;
        -o|--output|--script) _cowguard_files "$cur"; return ;;
        --block-size) COMPREPLY=($(compgen -W '1024 2048 4096' -- "$cur")); return ;;
        --size) COMPREPLY=($(compgen -W '8M 16M 64M 256M 1G' -- "$cur")); return ;;
        --rounds|--pause-ms|--seed|--point) return ;;
    esac

    local opts
    case $sub in
        '')
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--module --version --help -h' -- "$cur"))
            else
                COMPREPLY=($(compgen -W 'demo restore verify list info check console' -- "$cur"))
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
    esac
}

complete -F _cowguard cowguard
