# bash completion of zrlink: commands, their options, handheld paths asked of the handheld
# (zrlink ls, with the --addr or --serial already on the line), and after --serial the
# serials of the DHCP service's table.

_zrlink_commands="list info ls stat mkdir rmdir rm mv cp cat push pull mount sync screenshot osupg wait help"

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
        mount) echo "-f -j --jobs" ;;
        sync) echo "--delete --dry-run -n -L -j --jobs --keep-going" ;;
        osupg) echo "-y --yes --force" ;;
        screenshot) echo "--sheet" ;;
        wait) echo "--timeout --count --gone" ;;
    esac
}

# The USB serials of the adapters with an address in the DHCP service's table of adapters
# (zr-dhcp.exe(8): "adapter KEY=VALUE..." lines, a serial's other bytes as %XX), one a line.
_zrlink_serials()
{
    local table=${ZR_DHCP_RUN_DIR:-/run/zr-dhcp}/adapters line word serial state IFS=$' \t\n'
    [[ -r $table ]] || return
    while read -r line; do
        [[ $line == "adapter "* ]] || continue
        serial="" state=""
        for word in $line; do
            case $word in
                serial=*) serial=${word#serial=} ;;
                state=*) state=${word#state=} ;;
            esac
        done
        [[ -n $serial && ($state == addressed || $state == leased) ]] || continue
        serial=${serial//\\/\\\\}
        printf '%b\n' "${serial//%/\\x}"
    done <"$table"
}

# The serials that begin with the word, quoted for the command line, after PREFIX.
_zrlink_serial_words()
{
    local prefix=$1 cur=$2 serial
    local IFS=$'\n'
    for serial in $(_zrlink_serials); do
        [[ $serial == "$cur"* ]] && COMPREPLY+=("$prefix$(printf '%q' "$serial")")
    done
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
            -j | --jobs | --timeout | --max-handhelds | --sheet | --count) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then command=$word; else ((operands++)); fi
                ;;
        esac
    done
    case $prev in
        --serial)
            _zrlink_serial_words "" "$cur"
            return
            ;;
        --addr | -j | --jobs | --timeout | --max-handhelds | --count) return ;;
        --sheet)
            COMPREPLY=($(compgen -f -X '!*.png' -- "$cur") $(compgen -d -- "$cur"))
            return
            ;;
    esac
    if [[ $cur == --serial=* ]]; then
        _zrlink_serial_words "--serial=" "${cur#--serial=}"
        return
    fi
    local common="--addr --serial --all --max-handhelds -q --quiet --progress --help --version"
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $(_zrlink_options "$command")" -- "$cur"))
        return
    fi
    case $command in
        "") COMPREPLY=($(compgen -W "$_zrlink_commands" -- "$cur")) ;;
        help) ((operands == 0)) && COMPREPLY=($(compgen -W "$_zrlink_commands" -- "$cur")) ;;
        ls | stat | mkdir | rmdir | rm | mv | cp | cat | pull) _zrlink_remote "$cur" "${device[@]}" ;;
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
