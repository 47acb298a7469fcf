#!/usr/bin/env python3
"""The user guides against the tree and the programs they describe.

  check_guides.py SOURCE_DIR NAME=PATH...

Checks README.md and docs/*.md: every relative link leads to a file that exists (and, for a link
with #anchor into a Markdown file, to one of its headings); and every command in a code block that
starts one of the programs named NAME=PATH (bsl430, bsl430-gang, bsl430-sim, bsl430-bench) gives
it only options it has. A program's options are what its --help listing names; bsl430's listing
leaves some out, so for it the rows of its option table (src/options/program_options.cpp) count
too. A program given with an empty PATH (not built here) has its commands left unchecked.
Prints one line per fault and exits 1 when there is any.
"""
import os
import re
import shlex
import subprocess
import sys

LINK = re.compile(r'(?<!!)\[[^\]]*\]\(([^)\s]+)\)')
OPTION = re.compile(r'(?<![\w/-])(--?[A-Za-z?][\w-]*)')
SHELL_STOP = {'|', '||', '&', '&&', ';', '>', '>>', '<', '2>', '2>&1', ')'}


def slug(heading):
    """The anchor a Markdown renderer (GitHub's rules) gives a heading."""
    text = re.sub(r'`', '', heading.strip().lower())
    text = re.sub(r'[^\w\- ]', '', text)
    return text.replace(' ', '-')


def split_blocks(text):
    """The file's prose lines and its code blocks (indented by four spaces, or fenced)."""
    prose, blocks, block = [], [], None
    fenced = False
    previous_blank = True
    for line in text.split('\n'):
        if line.startswith('```'):
            if fenced:
                blocks.append(block)
                block = None
            else:
                block = []
            fenced = not fenced
            continue
        if fenced:
            block.append(line)
            continue
        indented = line.startswith('    ') and not line.lstrip().startswith(('- ', '* '))
        if indented and (block is not None or previous_blank):
            if block is None:
                block = []
            block.append(line[4:])
        elif block is not None and line.strip() == '':
            block.append('')
        else:
            if block is not None:
                blocks.append(block)
                block = None
            prose.append(line)
        previous_blank = line.strip() == ''
    if block is not None:
        blocks.append(block)
    return prose, blocks


def headings(path):
    with open(path, encoding='utf-8') as f:
        prose, _ = split_blocks(f.read())
    return {slug(line.lstrip('#')) for line in prose if line.startswith('#')}


def check_links(path, prose, faults):
    base = os.path.dirname(path)
    for line in prose:
        for target in LINK.findall(re.sub(r'`[^`]*`', '', line)):
            if re.match(r'^[a-z]+:', target):
                continue  # a web address or mail: not ours to check here
            file_part, _, anchor = target.partition('#')
            resolved = os.path.normpath(os.path.join(base, file_part)) if file_part else path
            if not os.path.exists(resolved):
                faults.append(f'{path}: the link {target} leads nowhere')
            elif anchor and resolved.endswith('.md') and anchor not in headings(resolved):
                faults.append(f'{path}: the link {target} names no heading of {file_part or "this page"}')


def commands(block):
    """The lines of a code block, continuation lines joined."""
    joined, current = [], ''
    for line in block:
        if line.rstrip().endswith('\\'):
            current += line.rstrip()[:-1] + ' '
            continue
        joined.append(current + line)
        current = ''
    if current:
        joined.append(current)
    return joined


def program_words(line, programs):
    """(program, its words) when the line starts one of the programs, else None."""
    line = line.strip()
    if line.startswith('$ '):
        line = line[2:]
    try:
        lexer = shlex.shlex(line, posix=True, punctuation_chars='|&;<>()')
        lexer.whitespace_split = True
        lexer.commenters = '#'
        words = list(lexer)
    except ValueError:
        return None
    while words and (re.match(r'^\w+=', words[0]) or words[0] in ('sudo', 'exec', '(')):
        words.pop(0)
    if not words:
        return None
    name = os.path.basename(words[0])
    if name.endswith('.exe'):
        name = name[:-4]
    if name not in programs:
        return None
    taken = []
    for word in words[1:]:
        if word in SHELL_STOP:
            break
        taken.append(word)
    return name, taken


def listed_options(path):
    run = subprocess.run([path, '--help'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, timeout=30)
    return set(OPTION.findall(run.stdout.decode('utf-8', 'replace')))


def table_options(source):
    with open(os.path.join(source, 'src/options/program_options.cpp'), encoding='utf-8') as f:
        return set(re.findall(r'\{OPT_\w+, "(-[^"]+)"', f.read())) - {'-'}


def known(word, options, attached):
    """Whether the word is one of the options; `attached`: bsl430's parser, where the argument
    may follow the name directly ("-p3", "--port:3") unless the name ends in a letter and a letter
    follows."""
    name = word.split('=', 1)[0]
    if name in options:
        return True
    if not attached:
        return False
    for option in options:
        if word.startswith(option) and len(word) > len(option):
            if not option[-1].isalpha() or not word[len(option)].isalpha():
                return True
    return False


def main():
    source = sys.argv[1]
    programs = dict(arg.split('=', 1) for arg in sys.argv[2:])
    options = {}
    for name, path in programs.items():
        if path:
            options[name] = listed_options(path)
    if programs.get('bsl430'):
        options['bsl430'] |= table_options(source)

    guides = [os.path.join(source, 'README.md')]
    docs = os.path.join(source, 'docs')
    guides += sorted(os.path.join(docs, f) for f in os.listdir(docs) if f.endswith('.md'))
    faults = []
    checked = 0
    for path in guides:
        with open(path, encoding='utf-8') as f:
            prose, blocks = split_blocks(f.read())
        check_links(path, prose, faults)
        for block in blocks:
            for line in commands(block):
                found = program_words(line, programs)
                if found is None or found[0] not in options:
                    continue
                name, words = found
                checked += 1
                for word in words:
                    if word.startswith('-') and len(word) > 1 and not re.match(r'^-\d', word) \
                            and not known(word, options[name], name == 'bsl430'):
                        faults.append(f'{path}: "{line.strip()}": {name} has no option {word}')
    for fault in faults:
        print(fault)
    print(f'{len(guides)} pages, {checked} commands checked, {len(faults)} faults')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
