#!/usr/bin/python3
"""Holds an INF to the rules of a declarative, isolated ("Windows Driver") INF that a program can
check (package/rules.md lists them all, and which need InfVerif).

  check-inf-rules.py INF            every rule against the INF; exit 1 with the broken ones
  check-inf-rules.py --mutants INF  each rule against a copy of the INF broken the way the rule
                                    forbids: every copy must be refused, by its own rule
"""
import re
import sys

SYSTEM_DIRIDS = {'10', '11', '12'}  # %windir%, System32, System32\drivers
FORBIDDEN_DIRECTIVES = {'coinstallers', 'registerdlls', 'unregisterdlls', 'updateinis',
                        'updateinifields', 'ini2reg', 'profileitems', 'delfiles', 'renfiles',
                        'delreg', 'bitreg', 'delservice'}
INSTALL_DIRECTIVES = {'copyfiles', 'addreg', 'include', 'needs', 'addproperty', 'featurescore'}


def parse(text):
    """Sections in order: name -> list of (key or None, value) with comments removed."""
    sections = {}
    current = None
    for raw in text.splitlines():
        line = re.sub(r';(?=(?:[^"]*"[^"]*")*[^"]*$).*', '', raw).strip()
        if not line:
            continue
        header = re.fullmatch(r'\[([^\]]+)\]', line)
        if header:
            current = sections.setdefault(header.group(1).strip().lower(), [])
            continue
        if current is None:
            continue
        key, sep, value = line.partition('=')
        current.append((key.strip().lower(), value.strip()) if sep else (None, line))
    return sections


def strings_of(sections):
    return {k: v.strip('"') for k, v in sections.get('strings', []) if k}


def expand(value, strings):
    return re.sub(r'%([^%]+)%', lambda m: strings.get(m.group(1).lower(), m.group(0)), value)


def values(sections, section, key):
    return [v for k, v in sections.get(section.lower(), []) if k == key]


def fields(value):
    return [f.strip().strip('"') for f in value.split(',')]


def install_sections(sections):
    """The install sections the models name, with their decorated forms."""
    names = set()
    for manufacturer in sections.get('manufacturer', []):
        models = fields(manufacturer[1])
        for decoration in models[1:]:
            for _, model in sections.get(f'{models[0]}.{decoration}'.lower(), []):
                names.add(fields(model)[0].lower())
    found = set()
    for name in names:
        found |= {s for s in sections if s == name or s.startswith(name + '.')}
    return found


def service_sections(sections):
    for name in install_sections(sections):
        if name.endswith('.services'):
            for value in values(sections, name, 'addservice'):
                parts = fields(value)
                yield parts[2].lower(), (parts[3].lower() if len(parts) > 3 and parts[3] else None)


def addreg_sections(sections):
    for name in install_sections(sections):
        for value in values(sections, name, 'addreg'):
            yield from (f.lower() for f in fields(value) if f)
    for _, eventlog in service_sections(sections):
        if eventlog:
            for value in values(sections, eventlog, 'addreg'):
                yield from (f.lower() for f in fields(value) if f)


# ---- the rules: each returns what breaks it ------------------------------------------------------

def runs_from_driver_store(sections, strings):
    return [f'[DestinationDirs] {k} = {v}' for k, v in sections.get('destinationdirs', [])
            if fields(v)[0] != '13']


def service_binary_in_driver_store(sections, strings):
    bad = []
    for service, _ in service_sections(sections):
        for binary in values(sections, service, 'servicebinary'):
            if not binary.startswith('%13%\\'):
                bad.append(f'[{service}] ServiceBinary = {binary}')
    return bad


def no_fixed_system_paths(sections, strings):
    bad = []
    for section in addreg_sections(sections):
        for _, line in sections.get(section, []):
            value = expand(line, strings)
            if re.search(r'system32|systemroot|%1[012]%|%windir%', value, re.IGNORECASE):
                bad.append(f'[{section}] {line}')
    return bad


def registry_through_hkr(sections, strings):
    bad = [f'[{section}] {line}' for section in addreg_sections(sections)
           for _, line in sections.get(section, []) if fields(line)[0].upper() != 'HKR']
    return bad + [f'[{section}] {key or ""}' for section in install_sections(sections)
                  for key, _ in sections[section] if key == 'delreg']


def no_default_install(sections, strings):
    return [f'[{s}]' for s in sections if s.startswith('defaultinstall')]


def no_forbidden_directives(sections, strings):
    return [f'[{section}] {key}' for section, lines in sections.items()
            for key, _ in lines if key in FORBIDDEN_DIRECTIVES]


def declarative_install_sections(sections, strings):
    bad = []
    for section in install_sections(sections):
        allowed = {'addservice', 'include', 'needs'} if section.endswith('.services') \
            else INSTALL_DIRECTIVES
        bad += [f'[{section}] {key}' for key, _ in sections[section] if key not in allowed]
    return bad


def pnp_lockdown(sections, strings):
    return [] if values(sections, 'version', 'pnplockdown') == ['1'] else ['PnpLockdown is not 1']


def version_names_everything(sections, strings):
    return [f'[Version] has no {key}' for key in
            ('catalogfile', 'provider', 'class', 'classguid', 'driverver')
            if not values(sections, 'version', key)]


def amd64_models_only(sections, strings):
    bad = []
    for _, manufacturer in sections.get('manufacturer', []):
        decorations = [d.lower() for d in fields(manufacturer)[1:]]
        if decorations != ['ntamd64']:
            bad.append(f'[Manufacturer] {manufacturer}')
    return bad + [f'[{s}]' for s in install_sections(sections)
                  if not re.search(r'\.ntamd64(\.|$)', s)]


def copied_files_listed(sections, strings):
    listed = {k for k, _ in sections.get('sourcedisksfiles', [])}
    bad = []
    for section in install_sections(sections):
        for value in values(sections, section, 'copyfiles'):
            for files in fields(value):
                for key, line in sections.get(files.lower(), []):
                    name = fields(line if key is None else key)[0].lower()
                    if name not in listed:
                        bad.append(f'[{files}] {name}')
    return bad


RULES = [runs_from_driver_store, service_binary_in_driver_store, no_fixed_system_paths,
         registry_through_hkr, no_default_install, no_forbidden_directives,
         declarative_install_sections, pnp_lockdown, version_names_everything,
         amd64_models_only, copied_files_listed]

# Each rule's mutant: the INF broken the way the rule forbids (pattern, replacement).
MUTANTS = {
    runs_from_driver_store: (r'(?m)^(DefaultDestDir\s*=\s*)13', r'\g<1>12'),
    service_binary_in_driver_store: (r'(?m)^(ServiceBinary\s*=\s*)%13%', r'\g<1>%12%'),
    no_fixed_system_paths: (r'"%13%\\', r'"%%SystemRoot%%\\System32\\drivers\\'),
    registry_through_hkr: (r'(?m)^HKR,,TypesSupported', r'HKLM,System,TypesSupported'),
    no_default_install: (r'\[Strings\]', '[DefaultInstall.NTamd64]\nCopyFiles = x\n\n[Strings]'),
    no_forbidden_directives: (r'(?m)^(\[\w+\.Install\.NTamd64\]\n)', r'\1RegisterDlls = x\n'),
    declarative_install_sections: (r'(?m)^(\[\w+\.Install\.NTamd64\]\n)', r'\1Reboot\n'),
    pnp_lockdown: (r'(?m)^PnpLockdown\s*=\s*1', 'PnpLockdown = 0'),
    version_names_everything: (r'(?m)^CatalogFile.*\n', ''),
    amd64_models_only: (r',NTamd64\n', ',NTamd64,NTx86\n'),
    copied_files_listed: (r'(?m)^(\[SourceDisksFiles\]\n)\S+\s*=\s*1\n', r'\1'),
}


def broken(text):
    sections = parse(text)
    strings = strings_of(sections)
    return {rule.__name__: problems for rule in RULES if (problems := rule(sections, strings))}


def main():
    mutants = sys.argv[1] == '--mutants'
    path = sys.argv[-1]
    text = open(path, encoding='utf-8-sig').read()
    failed = False
    if not mutants:
        for rule, problems in broken(text).items():
            failed = True
            print(f'{path}: {rule}: ' + '; '.join(problems))
        print(f'{path}: {len(RULES)} rules' + (', broken' if failed else ', all kept'))
        return 1 if failed else 0
    for rule, (pattern, replacement) in MUTANTS.items():
        mutant, count = re.subn(pattern, replacement, text, count=1)
        caught = broken(mutant)
        if count == 0 or rule.__name__ not in caught:
            failed = True
            print(f'{path}: {rule.__name__}: the mutant was not refused'
                  + (' (the pattern matched nothing)' if count == 0 else ''))
    print(f'{path}: {len(MUTANTS)} mutants' + (', some kept' if failed else ', all refused'))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
