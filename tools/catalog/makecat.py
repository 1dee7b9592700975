#!/usr/bin/python3
"""Writes the unsigned catalog of a driver package; osslsigncode then signs it.

A catalog (.cat) is what Windows checks a driver package's files against: one signature over a
list of file hashes, so that an INF, which cannot carry a signature of its own, is covered too.
It is a PKCS #7 SignedData (version 1, content not wrapped in an OCTET STRING) whose content is a
certificate trust list (szOID_CTL):

  CertificateTrustList ::= SEQUENCE {
      version          INTEGER DEFAULT v1,            -- left out
      subjectUsage     SEQUENCE OF OID,                -- szOID_CATALOG_LIST
      listIdentifier   OCTET STRING OPTIONAL,
      sequenceNumber   INTEGER OPTIONAL,               -- left out
      thisUpdate       UTCTime,
      nextUpdate       UTCTime OPTIONAL,               -- left out
      subjectAlgorithm AlgorithmIdentifier,            -- szOID_CATALOG_LIST_MEMBER_V2: SHA-256
      trustedSubjects  SEQUENCE OF SEQUENCE {
          subjectIdentifier OCTET STRING,              -- the tag: hex of the hash, UTF-16LE
          subjectAttributes SET OF Attribute },
      ctlExtensions    [0] EXPLICIT Extensions OPTIONAL }  -- the catalog's name-value pairs

Each member carries SPC_INDIRECT_DATA (the SIP's kind of file and its SHA-256 digest: the
Authenticode image hash of a PE file, which leaves out the checksum, the certificate table entry
and the signature, so a signed image hashes as it did before signing; the whole file for anything
else), CAT_MEMBERINFO (the SIP's GUID, which every catalog reader looks for) and CAT_NAMEVALUE
pairs "File" and "OSAttr". The catalog itself carries "OS".

The DER comes from asn1crypto: only the structures are declared here. The SignedData has no
signer; `osslsigncode sign` reads its content and writes the signed catalog around it.
"""
import argparse
import datetime
import hashlib
import os
import struct
import sys

from asn1crypto import algos, cms, core

SZOID_SIGNED_DATA = '1.2.840.113549.1.7.2'
SZOID_CTL = '1.3.6.1.4.1.311.10.1'
SZOID_CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'
SZOID_CATALOG_LIST_MEMBER_V2 = '1.3.6.1.4.1.311.12.1.3'
CAT_NAMEVALUE_OBJID = '1.3.6.1.4.1.311.12.2.1'
CAT_MEMBERINFO_OBJID = '1.3.6.1.4.1.311.12.2.2'
SPC_INDIRECT_DATA_OBJID = '1.3.6.1.4.1.311.2.1.4'
SPC_PE_IMAGE_DATAOBJ = '1.3.6.1.4.1.311.2.1.15'
SPC_CAB_DATA_OBJID = '1.3.6.1.4.1.311.2.1.25'

# The subject interface packages that hash a member: PE images and flat files.
PE_SIP_GUID = '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
FLAT_SIP_GUID = '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'
CERT_VERSION = 0x200

# Authenticated name-value pair, name and value text (what Inf2Cat writes).
NAMEVALUE_FLAGS = 0x10010001
OBSOLETE = '<<<Obsolete>>>'


class CatNameValue(core.Sequence):
    _fields = [('tag', core.BMPString), ('flags', core.Integer), ('value', core.OctetString)]


class CatMemberInfo(core.Sequence):
    _fields = [('subject_guid', core.BMPString), ('cert_version', core.Integer)]


class SpcString(core.Choice):
    _alternatives = [('unicode', core.BMPString, {'implicit': 0}),
                     ('ascii', core.IA5String, {'implicit': 1})]


class SpcLink(core.Choice):
    _alternatives = [('url', core.IA5String, {'implicit': 0}),
                     ('file', SpcString, {'explicit': 2})]


class SpcPeImageData(core.Sequence):
    _fields = [('flags', core.BitString), ('file', SpcLink, {'explicit': 0})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('value', core.Any, {'optional': True})]


class DigestInfo(core.Sequence):
    _fields = [('digest_algorithm', algos.DigestAlgorithm), ('digest', core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [('data', SpcAttributeTypeAndOptionalValue), ('message_digest', DigestInfo)]


class AnySet(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('values', AnySet)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [('subject_identifier', core.OctetString),
               ('subject_attributes', Attributes, {'optional': True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AlgorithmIdentifier(core.Sequence):
    _fields = [('algorithm', core.ObjectIdentifier), ('parameters', core.Any, {'optional': True})]


class Extension(core.Sequence):
    _fields = [('extn_id', core.ObjectIdentifier),
               ('critical', core.Boolean, {'default': False}),
               ('extn_value', core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [('subject_usage', SubjectUsage),
               ('list_identifier', core.OctetString, {'optional': True}),
               ('this_update', core.UTCTime),
               ('subject_algorithm', AlgorithmIdentifier),
               ('trusted_subjects', TrustedSubjects, {'optional': True}),
               ('extensions', Extensions, {'explicit': 0, 'optional': True})]


# PKCS #7 as Authenticode uses it: a version 1 SignedData whose content sits in [0] as it is.
class CatalogContentInfo(core.Sequence):
    _fields = [('content_type', core.ObjectIdentifier),
               ('content', CertificateTrustList, {'explicit': 0})]


class SignedData(core.Sequence):
    _fields = [('version', core.Integer),
               ('digest_algorithms', cms.DigestAlgorithms),
               ('content_info', CatalogContentInfo),
               ('signer_infos', cms.SignerInfos)]


class ContentInfo(core.Sequence):
    _fields = [('content_type', core.ObjectIdentifier), ('content', SignedData, {'explicit': 0})]


def pe_hash_ranges(data):
    """The byte ranges the Authenticode image hash covers, or None if data is no PE image."""
    if len(data) < 0x40 or data[:2] != b'MZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b'PE\0\0':
        return None
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    if magic == 0x20B:  # PE32+: the data directories start 112 bytes in
        directories = optional + 112
    elif magic == 0x10B:
        directories = optional + 96
    else:
        return None
    checksum = optional + 64
    security = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    if security + 8 > len(data):
        return None
    signature, size = struct.unpack_from('<II', data, security)
    end = signature if signature and size else len(data)
    if end < security + 8 or end > len(data):
        raise ValueError('certificate table outside the image')
    return [(0, checksum), (checksum + 4, security), (security + 8, end)]


def file_digest(data):
    """(is_pe, SHA-256): the Authenticode image hash of a PE file, the flat hash otherwise."""
    ranges = pe_hash_ranges(data)
    if ranges is None:
        return False, hashlib.sha256(data).digest()
    digest = hashlib.sha256()
    for start, end in ranges:
        digest.update(data[start:end])
    if ranges[-1][1] == len(data) and len(data) % 8:
        digest.update(bytes(8 - len(data) % 8))  # an unsigned image hashes as padded to 8
    return True, digest.digest()


def name_value(name, value):
    return CatNameValue({'tag': name, 'flags': NAMEVALUE_FLAGS,
                         'value': (value + '\0').encode('utf-16-le')})


def attribute(oid, value):
    return Attribute({'type': oid, 'values': [value]})


def member(path, os_attr):
    with open(path, 'rb') as f:
        data = f.read()
    is_pe, digest = file_digest(data)
    obsolete = SpcLink({'file': SpcString({'unicode': OBSOLETE})})
    if is_pe:
        kind = SPC_PE_IMAGE_DATAOBJ
        value = SpcPeImageData({'flags': (), 'file': obsolete})
    else:
        kind = SPC_CAB_DATA_OBJID
        value = obsolete
    indirect = SpcIndirectDataContent({
        'data': {'type': kind, 'value': value},
        'message_digest': {'digest_algorithm': {'algorithm': 'sha256', 'parameters': core.Null()},
                           'digest': digest}})
    info = CatMemberInfo({'subject_guid': PE_SIP_GUID if is_pe else FLAT_SIP_GUID,
                          'cert_version': CERT_VERSION})
    return TrustedSubject({
        'subject_identifier': digest.hex().upper().encode('utf-16-le'),
        'subject_attributes': [
            attribute(SPC_INDIRECT_DATA_OBJID, indirect),
            attribute(CAT_MEMBERINFO_OBJID, info),
            attribute(CAT_NAMEVALUE_OBJID, name_value('File', os.path.basename(path))),
            attribute(CAT_NAMEVALUE_OBJID, name_value('OSAttr', os_attr)),
        ]})


def catalog(paths, os_name, os_attr, when):
    subjects = [member(p, os_attr) for p in paths]
    # The list identifier only has to be unique; derived from the members, the same files make
    # the same identifier.
    identifier = hashlib.sha256(b''.join(s['subject_identifier'].native for s in subjects))
    ctl = CertificateTrustList({
        'subject_usage': [SZOID_CATALOG_LIST],
        'list_identifier': identifier.digest()[:16],
        'this_update': when,
        'subject_algorithm': {'algorithm': SZOID_CATALOG_LIST_MEMBER_V2,
                              'parameters': core.Null()},
        'trusted_subjects': subjects,
        'extensions': [{'extn_id': CAT_NAMEVALUE_OBJID,
                        'extn_value': name_value('OS', os_name).dump()}],
    })
    signed = SignedData({
        'version': 1,
        'digest_algorithms': [{'algorithm': 'sha256', 'parameters': core.Null()}],
        'content_info': {'content_type': SZOID_CTL, 'content': ctl},
        'signer_infos': [],
    })
    return ContentInfo({'content_type': SZOID_SIGNED_DATA, 'content': signed}).dump()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('-o', '--output', required=True, help='the unsigned catalog to write')
    parser.add_argument('--os', default='_v100_X64',
                        help='the catalog\'s OS attribute (Inf2Cat\'s /os:10_X64)')
    parser.add_argument('--os-attr', default='2:10.0', help='each member\'s OSAttr')
    parser.add_argument('files', nargs='+', help='the files the catalog covers')
    args = parser.parse_args()
    # SOURCE_DATE_EPOCH, when set, makes the catalog reproducible.
    when = datetime.datetime.fromtimestamp(int(os.environ.get('SOURCE_DATE_EPOCH', 0)) or
                                           datetime.datetime.now().timestamp(),
                                           datetime.timezone.utc).replace(microsecond=0)
    der = catalog(args.files, args.os, args.os_attr, when)
    with open(args.output, 'wb') as f:
        f.write(der)
    return 0


if __name__ == '__main__':
    sys.exit(main())
