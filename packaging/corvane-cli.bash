# bash completion for corvane-cli                          -*- shell-script -*-
# Commands, the options its own --help lists, and .hex and .bin files where a
# command takes one (--format hex or bin: those alone).

_corvane_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    # Every command; ":hex" marks one that takes a file (HEX or raw binary).
    local commands="detect program:hex read:hex verify:hex erase blank-check station:hex ports"

    case $prev in
        --port | --trace)
            _filedir
            return
            ;;
        --log)
            _filedir csv
            return
            ;;
        --serial-format)
            COMPREPLY=($(compgen -W 'le16 be16 le32 be32 ascii:' -- "$cur"))
            [[ $COMPREPLY == ascii: ]] && compopt -o nospace
            return
            ;;
        --size)
            COMPREPLY=($(compgen -W '2K 4K' -- "$cur"))
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W 'hex bin' -- "$cur"))
            return
            ;;
        --count | --timeout | --chips | --serial)
            # A number: nothing to offer.
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
        return
    fi

    # The command is the first word that is neither an option nor its value.
    local i command= format='hex|bin'
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --format)
                ((i++))
                [[ ${words[i]} == @(hex|bin) ]] && format=${words[i]}
                ;;
            --format=@(hex|bin)) format=${words[i]#--format=} ;;
            --port | --size | --trace | --count | --timeout | --chips | --serial | \
                --serial-format | --log) ((i++)) ;;
            -*) ;;
            *)
                [[ $command ]] || command=${words[i]}
                ;;
        esac
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "${commands//:hex/}" -- "$cur"))
    elif [[ " $commands " == *" $command:hex "* ]]; then
        _filedir "$format"
    fi
} &&
    complete -F _corvane_cli corvane-cli
