# bash completion for corvane-cli                          -*- shell-script -*-
# Commands, the options its own --help lists, and .hex files where a command
# takes one.

_corvane_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    # Every command; ":hex" marks one that takes a HEX file.
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
    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --port | --size | --trace | --count | --timeout | --chips | --serial | \
                --serial-format | --log) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "${commands//:hex/}" -- "$cur"))
    elif [[ " $commands " == *" $command:hex "* ]]; then
        _filedir hex
    fi
} &&
    complete -F _corvane_cli corvane-cli
