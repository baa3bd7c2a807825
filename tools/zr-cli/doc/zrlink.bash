# bash completion of zrlink: commands, their options, and handheld paths asked of the
# handheld (zrlink ls, with the --addr or --serial already on the line).

_zrlink_commands="list info ls stat mkdir rmdir rm mv cp push pull mount sync screen screenshot osupg wait help"

# The options a command takes, besides the ones every command takes.
_zrlink_options()
{
    case $1 in
        list | info) echo "--json" ;;
        ls) echo "-l --json" ;;
        stat) echo "--json" ;;
        mkdir) echo "-p" ;;
        rm) echo "-r" ;;
        push) echo "-j --jobs -L --keep-going --json" ;;
        pull) echo "-j --jobs --keep-going --json" ;;
        mount) echo "-f" ;;
        sync) echo "--delete --dry-run -n -L -j --jobs --keep-going" ;;
        screen) echo "--scale --record --duration --no-window" ;;
        osupg) echo "-y --yes --force" ;;
        wait) echo "--timeout" ;;
    esac
}

# Handheld paths below the folder of the word being completed.
_zrlink_remote()
{
    local cur=$1 dir name
    shift
    case $cur in
        */*) dir=${cur%/*}/ ;;
        *) dir=/ ;;
    esac
    local IFS=$'\n'
    local names
    names=$(zrlink "$@" -q ls "$dir" 2>/dev/null) || return
    for name in $names; do
        [[ $dir$name == "$cur"* ]] && COMPREPLY+=("$dir$name")
    done
    compopt -o nospace 2>/dev/null
}

_zrlink()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local i word command="" device=() operands=0
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --addr | --serial)
                device+=("$word" "${COMP_WORDS[i + 1]}")
                ((i++))
                ;;
            --addr=* | --serial=*) device+=("$word") ;;
            -j | --jobs | --timeout | --scale | --record | --duration) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then command=$word; else ((operands++)); fi
                ;;
        esac
    done
    case $prev in
        --addr | --serial | -j | --jobs | --timeout | --scale | --duration) return ;;
        --record)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
    esac
    local common="--addr --serial -q --quiet --progress --help --version"
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $(_zrlink_options "$command")" -- "$cur"))
        return
    fi
    case $command in
        "") COMPREPLY=($(compgen -W "$_zrlink_commands" -- "$cur")) ;;
        help) ((operands == 0)) && COMPREPLY=($(compgen -W "$_zrlink_commands" -- "$cur")) ;;
        ls | stat | mkdir | rmdir | rm | mv | cp | pull) _zrlink_remote "$cur" "${device[@]}" ;;
        push)
            # Host files first; the last operand (a handheld folder) is a guess, so both.
            COMPREPLY=($(compgen -f -- "$cur"))
            ((operands >= 1)) && _zrlink_remote "$cur" "${device[@]}"
            ;;
        screenshot) COMPREPLY=($(compgen -f -X '!*.png' -- "$cur") $(compgen -d -- "$cur")) ;;
        osupg) COMPREPLY=($(compgen -f -- "$cur")) ;;
    esac
}

complete -F _zrlink zrlink
