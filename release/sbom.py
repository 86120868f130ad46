"""The release's software bill of materials, CycloneDX 1.5 JSON (https://cyclonedx.org/docs/1.5/json/).

Written from what the build did, never from a list kept by hand: the two programs with the SHA-256
of the bytes released, each holding as nested components the libraries its link map shows it took
code from (thirdparty.Linked), each with the Debian package and version that installed it, its
package URL (pkg:deb), its licence as an SPDX expression and the text of every LicenseRef- it
names; the dependency graph from the release to the programs and from each program to what it
contains; and a formulation that says what the programs were built from (the commit), with what
(the toolchain's Debian packages) and by which commands.

Nothing of the moment gets in: the time is the commit's, and the serial number is derived from the
document itself, so the same commit, toolchain and signing give the same bytes.
"""

import json
import urllib.parse
import uuid

import thirdparty

NAME = 'ppkg-launcher.cdx.json'
PROPERTY = 'ppkg-launcher:'
LICENCE = 'Apache-2.0'
COPYRIGHT = 'Copyright The ppkg-launcher authors'
# uuid5 namespace for the serial numbers of this project's documents.
SERIAL_NAMESPACE = uuid.uuid5(uuid.NAMESPACE_URL, 'urn:ppkg-launcher:sbom')


def purl(package, version, arch, distro):
    quote = lambda s: urllib.parse.quote(s, safe='')  # noqa: E731
    return f'pkg:deb/debian/{quote(package)}@{quote(version)}?arch={quote(arch)}&distro={quote(distro)}'


def _properties(pairs):
    return [{'name': PROPERTY + name, 'value': value} for name, value in pairs]


def _licences(component, texts):
    """The component's licence expression, and as evidence the text of each LicenseRef- it names."""
    refs = [p for p in thirdparty.licence_parts(component.licence) if p.startswith('LicenseRef-')]
    return ([{'expression': component.licence}],
            [{'license': {'name': ref, 'text': {'contentType': 'text/plain', 'content': texts[ref]}}} for ref in refs])


def _library(program, component, linked, distro):
    licences, evidence = _licences(component, linked.texts)
    members = component.members[program]
    library = {
        'type': 'library',
        'bom-ref': f'{program}/{component.file}',
        'supplier': {'name': 'Debian'},
        'name': component.file,
        'version': component.version,
        'description': f'{component.name}: ' + (f'{len(members)} members of {component.path}' if members
                                                else f'{component.path}, linked whole') +
                       f', taken in by the link of {program}',
        'licenses': licences,
        'purl': purl(component.package, component.version, component.arch, distro),
        'properties': _properties([('debian-package', component.package), ('installed-file', component.path)]
                                  + [('member', m) for m in members]),
    }
    if evidence:
        library['evidence'] = {'licenses': evidence}
    return library


def document(linked, release, programs, commit, commit_time, toolchain, steps, distro):
    """The SBOM's bytes.

    RELEASE: {'name': release folder name, 'version': ..., 'package_version': ... or None}
    PROGRAMS: [(file name, SHA-256 of the released bytes, SHA-256 before signing)] in order
    COMMIT, COMMIT_TIME: the source commit and its time as ISO 8601 UTC
    TOOLCHAIN: {package: (version, arch)} of the build's Debian packages
    STEPS: [(name, [command, ...])] the build ran
    DISTRO: the Debian release's code name, for the package URLs
    """
    components, dependencies = [], []
    for name, released, unsigned in programs:
        nested = [_library(name, c, linked, distro) for c in linked.components if name in c.members]
        components.append({
            'type': 'application',
            'bom-ref': name,
            'name': name,
            'version': release['version'],
            'hashes': [{'alg': 'SHA-256', 'content': released}],
            'licenses': [{'license': {'id': LICENCE}}],
            'copyright': COPYRIGHT,
            'properties': _properties([('signed', 'true' if released != unsigned else 'false'),
                                       ('sha256-before-signing', unsigned)]),
            'components': nested,
        })
        dependencies.append({'ref': name, 'dependsOn': [n['bom-ref'] for n in nested]})
        dependencies += [{'ref': n['bom-ref']} for n in nested]
    dependencies.insert(0, {'ref': 'release', 'dependsOn': [name for name, _, _ in programs]})

    source = {'type': 'file', 'bom-ref': 'source', 'name': 'ppkg-launcher source', 'version': commit,
              'description': f'the tree of commit {commit}, exported with git archive',
              'licenses': [{'license': {'id': LICENCE}}], 'copyright': COPYRIGHT,
              'properties': _properties([('git-commit', commit)])}
    tools = [{'type': 'application', 'bom-ref': f'toolchain/{package}', 'supplier': {'name': 'Debian'},
              'name': package, 'version': version, 'purl': purl(package, version, arch, distro)}
             for package, (version, arch) in sorted(toolchain.items())]
    release_properties = [('release', release['name']), ('source-commit', commit)]
    if release['package_version']:
        release_properties.append(('package-version', release['package_version']))
    bom = {
        'bomFormat': 'CycloneDX',
        'specVersion': '1.5',
        'serialNumber': '',
        'version': 1,
        'metadata': {
            'timestamp': commit_time,
            'lifecycles': [{'phase': 'build'}],
            'tools': {'components': [{'type': 'application', 'name': 'release/release.py', 'version': commit,
                                      'description': 'ppkg-launcher\'s release script at the source commit'}]},
            'component': {'type': 'application', 'bom-ref': 'release', 'name': 'ppkg-launcher',
                          'version': release['version'], 'licenses': [{'license': {'id': LICENCE}}],
                          'copyright': COPYRIGHT, 'properties': _properties(release_properties)},
        },
        'components': components,
        'dependencies': dependencies,
        'formulation': [{
            'bom-ref': 'formula',
            'components': [source] + tools,
            'workflows': [{
                'bom-ref': 'build',
                'uid': f'{commit}/{release["name"]}',
                'name': 'scripts/release',
                'description': 'a clean export of the commit built with the toolchain below; the release test '
                               'builds it twice and compares the bytes',
                'taskTypes': ['build'],
                'inputs': [{'resource': {'ref': 'source'}}] + [{'resource': {'ref': t['bom-ref']}} for t in tools],
                'outputs': [{'type': 'artifact', 'resource': {'ref': name}} for name, _, _ in programs],
                'steps': [{'name': step, 'commands': [{'executed': c} for c in commands]} for step, commands in steps],
            }],
        }],
    }
    # The serial number is the document's own: the same content gives the same number, another
    # content another one.
    bom['serialNumber'] = 'urn:uuid:' + str(uuid.uuid5(SERIAL_NAMESPACE, json.dumps(bom, sort_keys=True)))
    return (json.dumps(bom, indent=2, ensure_ascii=False) + '\n').encode('utf-8')
