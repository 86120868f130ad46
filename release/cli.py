"""Command-line parsing for the release scripts, which take secrets by name.

Two habits of argparse do not suit them: it takes a prefix for a whole option (--password for
--password-env, so the password became the variable's name), and its error messages repeat
what was typed, values included. This parser takes only whole option names and shows only
option names in its errors, never a value.
"""

import argparse
import re
import sys


class ArgumentParser(argparse.ArgumentParser):
    def __init__(self, **kwargs):
        super().__init__(allow_abbrev=False, **kwargs)
        self._typed = []

    def parse_args(self, args=None, namespace=None):
        self._typed = list(sys.argv[1:] if args is None else args)
        # argparse takes "--name=a value with blanks" for a positional argument (a file name,
        # here), so unknown names are refused before it sees them.
        for token in self._typed:
            if token == '--':
                break
            name = token.split('=', 1)[0]
            if name.startswith('--') and name not in self._option_string_actions:
                self.error(f'unrecognized option {name}' if name.isprintable() and ' ' not in name
                           else 'unrecognized option (not shown: it holds a blank)')
        opts, extras = self.parse_known_args(self._typed, namespace)
        if extras:
            names = sorted({e.split('=', 1)[0] for e in extras if e.startswith('-')})
            self.error('unrecognized option ' + ', '.join(names) if names
                       else f'{len(extras)} unexpected argument(s), not shown')
        return opts

    def error(self, message):
        # Whatever argparse quotes from the command line, only the option names stay.
        for token in self._typed:
            secret = token.split('=', 1)[1] if token.startswith('-') and '=' in token else (
                '' if token.startswith('-') else token)
            if secret:
                message = re.sub(r'(?<![\w-])' + re.escape(secret) + r'(?![\w-])', '(value not shown)', message)
        self.print_usage(sys.stderr)
        self.exit(2, f'{self.prog}: error: {message}\n')
