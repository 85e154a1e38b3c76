"""Structured output: a command's text turned into records by textfsm, ttp or ntc-templates.

The parsers come from the optional extra ``tessel[parse]``. ``parse_output``
returns a list of dicts, one per record:

* ``"textfsm"``: ``template`` is the path of a TextFSM template; keys are its
  Value names;
* ``"ttp"``: ``template`` is a ttp template (its text or a path); the
  records of all its groups, in order;
* ``"ntc"``: the template is found by command in the index of ntc-templates,
  under the platform's ``ntc_platform``; ``template`` may name another
  templates directory with an ``index`` file. Keys are lower case.
"""
from typing import Any, Dict, List, Optional

from tessel.core.errors import TesselError

PARSERS = ("textfsm", "ttp", "ntc")


class ParseError(TesselError):
    """Output could not be parsed: no parser package, a bad template, no template for a command."""


def check_parser(parser: str, template: Optional[str]) -> None:
    """Raises ValueError for an unknown parser or a template that the parser needs and lacks."""
    if parser not in PARSERS:
        raise ValueError("parse must be one of %s, not %r" % (", ".join(PARSERS), parser))
    if parser in ("textfsm", "ttp") and not template:
        raise ValueError("parse=%r needs template=" % parser)


def parse_output(parser: str, output: str, *, template: Optional[str] = None,
                 command: Optional[str] = None,
                 platform: Optional[str] = None) -> List[Dict[str, Any]]:
    """Parses ``output`` with ``parser``; returns the records."""
    check_parser(parser, template)
    if parser == "textfsm":
        assert template is not None
        return _textfsm(output, template)
    if parser == "ttp":
        assert template is not None
        return _ttp(output, template)
    return _ntc(output, command, platform, template)


def _missing(package: str, parser: str) -> ParseError:
    return ParseError("parse=%r needs the %s package: pip install 'tessel[parse]'"
                      % (parser, package))


def _textfsm(output: str, template: str) -> List[Dict[str, Any]]:
    try:
        import textfsm
    except ImportError:
        raise _missing("textfsm", "textfsm") from None
    try:
        with open(template, encoding="utf-8") as handle:
            fsm = textfsm.TextFSM(handle)
        return [dict(record) for record in fsm.ParseTextToDicts(output)]
    except OSError as err:
        raise ParseError("cannot read the TextFSM template %s: %s" % (template, err)) from None
    except textfsm.TextFSMError as err:
        raise ParseError("TextFSM template %s: %s" % (template, err)) from None


def _ttp(output: str, template: str) -> List[Dict[str, Any]]:
    try:
        from ttp import ttp
    except ImportError:
        raise _missing("ttp", "ttp") from None
    try:
        parser = ttp(data=output, template=template, log_level="ERROR")
        parser.parse(one=True)
        records = parser.result(structure="flat_list")
    except Exception as err:  # ttp raises plain exceptions for bad templates
        raise ParseError("ttp could not parse with its template: %s" % err) from err
    return [record for record in records if isinstance(record, dict)]


def _ntc(output: str, command: Optional[str], platform: Optional[str],
         template_dir: Optional[str]) -> List[Dict[str, Any]]:
    if not platform:
        raise ParseError("parse='ntc' needs the platform's ntc_platform: the platform's name "
                         "in the ntc-templates index")
    if not command:
        raise ParseError("parse='ntc' finds the template by command, and none was given")
    try:
        from ntc_templates.parse import parse_output as ntc_parse
        from textfsm import clitable
    except ImportError:
        raise _missing("ntc_templates", "ntc") from None
    try:
        records = ntc_parse(platform=platform, command=command, data=output,
                            template_dir=template_dir)
    except Exception as err:  # ntc-templates wraps its errors in a plain exception class
        cause = err.__cause__ if isinstance(err.__cause__, clitable.CliTableError) else err
        if "No template found" in str(cause):
            raise ParseError("no ntc-templates template for %r on %s" % (command, platform)) \
                from None
        raise ParseError("ntc-templates could not parse %r on %s: %s"
                         % (command, platform, cause)) from err
    return [dict(record) for record in records]
