#!/usr/bin/env python3
"""The user guides against the tree and the programs they describe.

  check_guides.py SOURCE_DIR NAME=PATH...

In README.md and docs/*.md, every relative link must lead to a file that exists (and a #anchor into
a Markdown file to one of its headings), and every command in a code block that starts one of the
programs NAME=PATH may give it only options its --help names (for bsl430 also the rows of its option
table, src/options/program_options.cpp). An empty PATH (not built here) leaves its commands
unchecked. Prints one line per fault and exits 1 when there is any.
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
    return re.sub(r'[^\w\- ]', '', heading.strip().lower().replace('`', '')).replace(' ', '-')


def split_blocks(text):
    """The file's prose lines and its code blocks (indented by four spaces, or fenced)."""
    prose, blocks, block, fenced, previous_blank = [], [], None, False, True
    for line in text.split('\n'):
        if line.startswith('```'):
            if fenced:
                blocks.append(block)
            block = None if fenced else []
            fenced = not fenced
            continue
        if fenced:
            block.append(line)
            continue
        indented = line.startswith('    ') and not line.lstrip().startswith(('- ', '* '))
        if indented and (block is not None or previous_blank):
            block = [] if block is None else block
            block.append(line[4:])
        elif block is not None and line.strip() == '':
            block.append('')
        else:
            if block is not None:
                blocks.append(block)
            block = None
            prose.append(line)
        previous_blank = line.strip() == ''
    return prose, blocks + ([block] if block is not None else [])


def headings(path):
    with open(path, encoding='utf-8') as f:
        prose, _ = split_blocks(f.read())
    return {slug(line.lstrip('#')) for line in prose if line.startswith('#')}


def check_links(path, prose, faults):
    for line in prose:
        for target in LINK.findall(re.sub(r'`[^`]*`', '', line)):
            if re.match(r'^[a-z]+:', target):
                continue  # a web address or mail: not ours to check here
            file_part, _, anchor = target.partition('#')
            resolved = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) \
                if file_part else path
            if not os.path.exists(resolved):
                faults.append(f'{path}: the link {target} leads nowhere')
            elif anchor and resolved.endswith('.md') and anchor not in headings(resolved):
                faults.append(f'{path}: the link {target} names no heading of {file_part or "this page"}')


def commands(block):
    """The lines of a code block, continuation lines joined."""
    return re.sub(r'\\(\n|$)', ' ', '\n'.join(line.rstrip() for line in block)).split('\n')


def program_words(line, programs):
    """(program, its words) when the line starts one of the programs, else None."""
    line = line.strip()
    try:
        lexer = shlex.shlex(line[2:] if line.startswith('$ ') else line, posix=True,
                            punctuation_chars='|&;<>()')
        lexer.whitespace_split, lexer.commenters = True, '#'
        words = list(lexer)
    except ValueError:
        return None
    while words and (re.match(r'^\w+=', words[0]) or words[0] in ('sudo', 'exec', '(')):
        words.pop(0)
    name = re.sub(r'\.exe$', '', os.path.basename(words[0])) if words else None
    if name not in programs:
        return None
    stop = next((i for i, word in enumerate(words) if word in SHELL_STOP), len(words))
    return name, words[1:stop]


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
    if word.split('=', 1)[0] in options:
        return True
    return attached and any(word.startswith(o) and len(word) > len(o) and
                            (not o[-1].isalpha() or not word[len(o)].isalpha()) for o in options)


def main():
    source = sys.argv[1]
    programs = dict(arg.split('=', 1) for arg in sys.argv[2:])
    options = {name: listed_options(path) for name, path in programs.items() if path}
    if programs.get('bsl430'):
        options['bsl430'] |= table_options(source)
    docs = os.path.join(source, 'docs')
    guides = [os.path.join(source, 'README.md')] + \
        sorted(os.path.join(docs, f) for f in os.listdir(docs) if f.endswith('.md'))
    faults, checked = [], 0
    for path in guides:
        with open(path, encoding='utf-8') as f:
            prose, blocks = split_blocks(f.read())
        check_links(path, prose, faults)
        for line in (line for block in blocks for line in commands(block)):
            found = program_words(line, programs)
            if found is None or found[0] not in options:
                continue
            name, words = found
            checked += 1
            faults += [f'{path}: "{line.strip()}": {name} has no option {word}' for word in words
                       if word.startswith('-') and len(word) > 1 and not re.match(r'^-\d', word)
                       and not known(word, options[name], name == 'bsl430')]
    print('\n'.join(faults + [f'{len(guides)} pages, {checked} commands checked, {len(faults)} faults']))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
