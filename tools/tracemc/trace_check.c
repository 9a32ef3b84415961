/* kxtracecheck: lists what event consumers will read from an executable's
 * trace resources, as the libyal format libraries (libexe, libwrc, libfwevt
 * from Debian's libevtx source package) read them.
 *
 *     kxtracecheck FILE.exe
 *
 * One line per item: the two resources and their languages, the provider,
 * its channels, levels, opcodes, tasks and keywords, every event, every
 * template field, and the message string of every message id those use:
 *
 *     event identifier=0x07d0 version=1 channel=16 level=18 ... template_offset=0x00000148
 *     field template_offset=0x00000148 index=0 name=ProcessImageName in_type=0x01 out_type=0x01
 *     message 0xb00107d0 %2
 *
 * The bundled libfwevt exposes few fields through its API but prints every
 * field it reads in verbose mode; those prints are the source of the
 * listing. It cannot render a template's Binary XML, so each template's XML
 * is compared byte for byte with the encoding that its fields must have.
 * Exit code 0 when everything was read, every message id resolves and every
 * template's XML is as expected; 1 otherwise, with "error" lines. */

#include <common.h>
#include <byte_stream.h>
#include <memory.h>
#include <types.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libbfio_definitions.h>
#include <libbfio_handle.h>
#include <libcerror_definitions.h>
#include <libcerror_error.h>
#include <libcerror_types.h>
#include <libcnotify_definitions.h>
#include <libcnotify_stream.h>
#include <libcnotify_verbose.h>
#include <libexe_definitions.h>
#include <libexe_file.h>
#include <libexe_section.h>
#include <libfwevt_event.h>
#include <libfwevt_manifest.h>
#include <libfwevt_provider.h>
#include <libfwevt_template.h>
#include <libfwevt_xml_document.h>
#include <libwrc_definitions.h>
#include <libwrc_message_table.h>
#include <libwrc_resource.h>
#include <libwrc_stream.h>

#define MAX_RECORDS 256
#define MAX_PAIRS 24
#define MAX_FIELDS 32
#define TEXT 256

static int failures = 0;

static void fail( const char *what, libcerror_error_t **error )
{
	fprintf( stdout, "error %s\n", what );
	if( error != NULL && *error != NULL )
	{
		libcerror_error_backtrace_fprint( *error, stdout );
		libcerror_error_free( error );
	}
	failures++;
}

/* ------------------------------------------------------------------------
 * The resource section of a PE file, as a resource stream. */

typedef struct
{
	libexe_file_t *file;
	libexe_section_t *section;
	libwrc_stream_t *stream;
} resources_t;

static int resources_open( resources_t *resources, const char *path, libcerror_error_t **error )
{
	libbfio_handle_t *section_data = NULL;
	uint32_t virtual_address       = 0;

	memset( resources, 0, sizeof( *resources ) );

	if( libexe_file_initialize( &( resources->file ), error ) != 1
	 || libexe_file_open( resources->file, path, LIBEXE_OPEN_READ, error ) != 1
	 || libexe_file_get_section_by_name( resources->file, ".rsrc", 5, &( resources->section ), error ) != 1
	 || libexe_section_get_virtual_address( resources->section, &virtual_address, error ) != 1
	 || libexe_section_get_data_file_io_handle( resources->section, &section_data, error ) != 1
	 || libwrc_stream_initialize( &( resources->stream ), error ) != 1
	 || libwrc_stream_set_virtual_address( resources->stream, virtual_address, error ) != 1
	 || libwrc_stream_open_file_io_handle( resources->stream, section_data, LIBWRC_OPEN_READ, error ) != 1 )
	{
		return( -1 );
	}
	return( 1 );
}

/* The single language of a resource, listed. */
static int resource_language( libwrc_resource_t *resource, const char *name, uint32_t *language, libcerror_error_t **error )
{
	int languages = 0;

	if( libwrc_resource_get_number_of_languages( resource, &languages, error ) != 1
	 || libwrc_resource_get_language_identifier( resource, 0, language, error ) != 1 )
	{
		return( -1 );
	}
	fprintf( stdout, "resource %s languages=%d language=0x%04" PRIx32 "\n", name, languages, *language );
	return( 1 );
}

/* ------------------------------------------------------------------------
 * Records gathered from libfwevt's verbose prints: "function: key<tabs>: value". */

typedef struct
{
	char kind[ 16 ];
	int pairs;
	char keys[ MAX_PAIRS ][ 48 ];
	char values[ MAX_PAIRS ][ 80 ];
} record_t;

static record_t records[ MAX_RECORDS ];
static int number_of_records = 0;

/* Which print function describes which item, and the key that starts one. */
static const struct
{
	const char *function;
	const char *start;
	const char *kind;
} record_kinds[] = {
	{ "libfwevt_manifest_read", "provider entry: ", "provider" },
	{ "libfwevt_provider_read", NULL, "provider" },
	{ "libfwevt_channel_read", "channel data", "channel" },
	{ "libfwevt_level_read", "level data", "level" },
	{ "libfwevt_opcode_read", "opcode data", "opcode" },
	{ "libfwevt_task_read", "task data", "task" },
	{ "libfwevt_keyword_read", "keyword data", "keyword" },
	{ "libfwevt_event_read", "event data", "event" },
	{ NULL, NULL, NULL } };

static const char *record_value( const record_t *record, const char *key )
{
	int index = 0;

	for( index = 0; index < record->pairs; index++ )
	{
		if( strcmp( record->keys[ index ], key ) == 0 )
		{
			return( record->values[ index ] );
		}
	}
	return( NULL );
}

/* Splits "function: key\t\t: value" (or "function: key:") in place. */
static int split_print( char *line, char **function, char **key, char **value )
{
	char *separator = strstr( line, ": " );
	char *tab       = NULL;

	if( separator == NULL )
	{
		return( 0 );
	}
	line[ strcspn( line, "\r\n" ) ] = 0;
	*separator = 0;
	*function  = line;
	*key       = separator + 2;
	tab        = strchr( *key, '\t' );

	if( tab == NULL )
	{
		*value = NULL;
		return( 1 );
	}
	*tab   = 0;
	*value = tab + 1 + strspn( tab + 1, "\t" );

	if( strncmp( *value, ": ", 2 ) == 0 )
	{
		*value += 2;
	}
	return( 1 );
}

static void read_records( FILE *prints )
{
	char line[ 1024 ];
	char *function = NULL;
	char *key      = NULL;
	char *value    = NULL;
	record_t *current = NULL;
	int kind = 0;

	while( fgets( line, sizeof( line ), prints ) != NULL )
	{
		if( split_print( line, &function, &key, &value ) != 1 )
		{
			continue;
		}
		for( kind = 0; record_kinds[ kind ].function != NULL; kind++ )
		{
			if( strcmp( function, record_kinds[ kind ].function ) == 0 )
			{
				break;
			}
		}
		if( record_kinds[ kind ].function == NULL )
		{
			continue;
		}
		if( record_kinds[ kind ].start != NULL
		 && strncmp( key, record_kinds[ kind ].start, strlen( record_kinds[ kind ].start ) ) == 0 )
		{
			/* The provider starts at its GUID: "provider entry: 00 identifier". */
			if( strcmp( record_kinds[ kind ].kind, "provider" ) == 0
			 && ( value == NULL || strstr( key, "identifier" ) == NULL ) )
			{
				continue;
			}
			if( number_of_records == MAX_RECORDS )
			{
				fail( "too many items", NULL );
				return;
			}
			current = &( records[ number_of_records++ ] );
			memset( current, 0, sizeof( *current ) );
			snprintf( current->kind, sizeof( current->kind ), "%s", record_kinds[ kind ].kind );

			if( value == NULL )
			{
				continue;
			}
			key = "guid";
		}
		/* Keys with a colon of their own ("descriptor: 03 offset") list the provider's directory. */
		if( current == NULL || value == NULL || current->pairs == MAX_PAIRS || strchr( key, ':' ) != NULL
		 || strcmp( current->kind, record_kinds[ kind ].kind ) != 0 )
		{
			continue;
		}
		snprintf( current->keys[ current->pairs ], sizeof( current->keys[ 0 ] ), "%s", key );
		snprintf( current->values[ current->pairs ], sizeof( current->values[ 0 ] ), "%s", value );
		current->pairs++;
	}
}

static void print_records( void )
{
	char key[ 48 ];
	int record = 0;
	int pair   = 0;
	char *space = NULL;

	for( record = 0; record < number_of_records; record++ )
	{
		fprintf( stdout, "%s", records[ record ].kind );

		for( pair = 0; pair < records[ record ].pairs; pair++ )
		{
			snprintf( key, sizeof( key ), "%s", records[ record ].keys[ pair ] );

			while( ( space = strchr( key, ' ' ) ) != NULL )
			{
				*space = '_';
			}
			fprintf( stdout, " %s=%.*s", key, (int) strcspn( records[ record ].values[ pair ], " " ),
			         records[ record ].values[ pair ] );
		}
		fprintf( stdout, "\n" );
	}
}

/* Runs a libfwevt read with its verbose prints going to a scratch file. */
static FILE *prints_begin( void )
{
	FILE *prints = tmpfile();

	if( prints == NULL )
	{
		fprintf( stdout, "error no scratch file for libfwevt's prints\n" );
		exit( 1 );
	}
	libcnotify_stream_set( prints, NULL );
	libcnotify_verbose_set( 1 );

	return( prints );
}

static void prints_end( FILE *prints )
{
	libcnotify_verbose_set( 0 );
	libcnotify_stream_set( stderr, NULL );
	fflush( prints );
	rewind( prints );
}

/* ------------------------------------------------------------------------
 * Template Binary XML: <EventData><Data Name="X">%i</Data>...</EventData>,
 * each name inline (hash, length, UTF-16, NUL), one substitution per field. */

typedef struct
{
	char name[ 64 ];
	uint8_t in_type;
	uint8_t out_type;
} field_t;

static size_t put_u16( uint8_t *out, size_t at, uint16_t value )
{
	out[ at ]     = (uint8_t) value;
	out[ at + 1 ] = (uint8_t) ( value >> 8 );
	return( at + 2 );
}

static size_t put_u32( uint8_t *out, size_t at, uint32_t value )
{
	at = put_u16( out, at, (uint16_t) value );
	return( put_u16( out, at, (uint16_t) ( value >> 16 ) ) );
}

static size_t put_name( uint8_t *out, size_t at, const char *name )
{
	uint32_t hash = 0;
	size_t index  = 0;
	size_t length = strlen( name );

	for( index = 0; index < length; index++ )
	{
		hash = ( hash * 65599 ) + (uint8_t) name[ index ];
	}
	at = put_u16( out, at, (uint16_t) hash );
	at = put_u16( out, at, (uint16_t) length );

	for( index = 0; index < length; index++ )
	{
		at = put_u16( out, at, (uint8_t) name[ index ] );
	}
	return( put_u16( out, at, 0 ) );
}

/* The fragment's size; out receives its bytes. */
static size_t binary_xml( const field_t *fields, int count, uint8_t *out )
{
	size_t at         = 0;
	size_t size_at    = 0;
	size_t data_at    = 0;
	size_t data_size  = 0;
	size_t attributes = 0;
	int index         = 0;

	out[ at++ ] = 0x0f; out[ at++ ] = 0x01; out[ at++ ] = 0x01; out[ at++ ] = 0x00;
	out[ at++ ] = 0x01; out[ at++ ] = 0xff; out[ at++ ] = 0xff;
	size_at = at;
	at = put_name( out, at + 4, "EventData" );
	out[ at++ ] = 0x02;

	for( index = 0; index < count; index++ )
	{
		data_at = at;
		out[ at++ ] = 0x41; out[ at++ ] = 0xff; out[ at++ ] = 0xff;
		at = put_name( out, at + 4, "Data" );
		attributes = at;
		at += 4;
		out[ at++ ] = 0x06;
		at = put_name( out, at, "Name" );
		out[ at++ ] = 0x05; out[ at++ ] = 0x01;
		at = put_u16( out, at, (uint16_t) strlen( fields[ index ].name ) );

		for( data_size = 0; fields[ index ].name[ data_size ] != 0; data_size++ )
		{
			at = put_u16( out, at, (uint8_t) fields[ index ].name[ data_size ] );
		}
		put_u32( out, attributes, (uint32_t) ( at - attributes - 4 ) );
		out[ at++ ] = 0x02;
		out[ at++ ] = 0x0d;
		at = put_u16( out, at, (uint16_t) index );
		out[ at++ ] = fields[ index ].in_type;
		out[ at++ ] = 0x04;
		put_u32( out, data_at + 3, (uint32_t) ( at - data_at - 7 ) );
	}
	out[ at++ ] = 0x04;
	put_u32( out, size_at, (uint32_t) ( at - size_at - 4 ) );
	out[ at++ ] = 0x00;

	return( at );
}

/* The figures of the worked two-string example (ImageName, Message), which
 * was checked against the message compiler's genuine output. */
static int worked_example_holds( void )
{
	field_t example[ 2 ] = { { "ImageName", 0x01, 0x01 }, { "Message", 0x01, 0x01 } };
	uint8_t out[ 512 ];
	size_t size = binary_xml( example, 2, out );

	return( size == 170
	     && out[ 7 ] == 0x9e && out[ 8 ] == 0 && out[ 9 ] == 0 && out[ 10 ] == 0
	     && out[ 0x24 + 3 ] == 0x3d
	     && out[ 0x24 + 0x3d + 7 + 3 ] == 0x39
	     && out[ 0x24 + 0x3d + 7 + 21 ] == 0x21 );
}

/* ------------------------------------------------------------------------
 * The template of one event: its fields, as libfwevt reads their
 * descriptors, and its Binary XML. */

static int read_fields( libfwevt_template_t *template, field_t *fields, int *count )
{
	libcerror_error_t *error                = NULL;
	libfwevt_xml_document_t *xml_document   = NULL;
	const uint8_t *data                     = NULL;
	size_t data_size                        = 0;
	uint32_t template_offset                = 0;
	uint32_t name_offset                    = 0;
	char line[ 1024 ];
	char *function = NULL;
	char *key      = NULL;
	char *value    = NULL;
	char what[ 32 ];
	int index      = 0;
	size_t unit    = 0;
	FILE *prints   = NULL;

	*count = 0;

	if( libfwevt_template_get_data( template, &data, &data_size, &error ) != 1
	 || libfwevt_template_get_offset( template, &template_offset, &error ) != 1
	 || libfwevt_xml_document_initialize( &xml_document, &error ) != 1 )
	{
		fail( "template unreadable", &error );
		return( -1 );
	}
	/* The fields are printed before the bundled library gives up on the XML. */
	prints = prints_begin();
	libfwevt_template_read_xml_document( template, xml_document, NULL );
	prints_end( prints );
	libfwevt_xml_document_free( &xml_document, NULL );

	while( fgets( line, sizeof( line ), prints ) != NULL )
	{
		if( split_print( line, &function, &key, &value ) != 1 || value == NULL
		 || strcmp( function, "libfwevt_template_read_instance_values" ) != 0
		 || sscanf( key, "value: %d %31s", &index, what ) != 2 || index < 0 || index >= MAX_FIELDS )
		{
			continue;
		}
		if( index >= *count )
		{
			*count = index + 1;
		}
		if( strcmp( what, "type" ) == 0 )
		{
			fields[ index ].in_type = (uint8_t) strtoul( value, NULL, 16 );
		}
		else if( strcmp( what, "unknown2" ) == 0 )
		{
			fields[ index ].out_type = (uint8_t) strtoul( value, NULL, 16 );
		}
		else if( strcmp( what, "offset" ) == 0 )
		{
			/* A sized string: u32 size, then UTF-16 up to its NUL. */
			name_offset = (uint32_t) strtoul( value, NULL, 16 ) - template_offset + 4;

			for( unit = 0; unit + 1 < sizeof( fields[ 0 ].name ) && name_offset + 2 * unit + 1 < data_size
			     && data[ name_offset + 2 * unit ] != 0; unit++ )
			{
				fields[ index ].name[ unit ] = (char) data[ name_offset + 2 * unit ];
			}
			fields[ index ].name[ unit ] = 0;
		}
	}
	fclose( prints );
	return( 1 );
}

static void check_template( libfwevt_provider_t *provider, uint32_t offset )
{
	libcerror_error_t *error       = NULL;
	libfwevt_template_t *template  = NULL;
	field_t fields[ MAX_FIELDS ];
	uint8_t expected[ 8192 ];
	const uint8_t *data            = NULL;
	size_t data_size               = 0;
	size_t size                    = 0;
	size_t at                      = 0;
	uint32_t template_offset       = 0;
	uint32_t descriptors           = 0;
	int count                      = 0;
	int index                      = 0;

	memset( fields, 0, sizeof( fields ) );

	if( libfwevt_provider_get_template_by_offset( provider, offset, &template, &error ) != 1 )
	{
		fail( "no template at an event's template offset", &error );
		return;
	}
	if( read_fields( template, fields, &count ) != 1 )
	{
		return;
	}
	for( index = 0; index < count; index++ )
	{
		fprintf( stdout, "field template_offset=0x%08" PRIx32 " index=%d name=%s in_type=0x%02x out_type=0x%02x\n",
		         offset, index, fields[ index ].name, fields[ index ].in_type, fields[ index ].out_type );
	}
	libfwevt_template_get_data( template, &data, &data_size, NULL );
	libfwevt_template_get_offset( template, &template_offset, NULL );
	size = binary_xml( fields, count, expected );

	while( size % 4 != 0 )
	{
		expected[ size++ ] = 0;
	}
	byte_stream_copy_to_uint32_little_endian( &( data[ 16 ] ), descriptors );

	if( data_size < 40 + size || memcmp( &( data[ 40 ] ), expected, size ) != 0
	 || ( count > 0 && descriptors - template_offset != 40 + size ) )
	{
		for( at = 0; at < size && 40 + at < data_size && data[ 40 + at ] == expected[ at ]; at++ )
		{
		}
		fprintf( stdout, "error template 0x%08" PRIx32 " Binary XML differs from its fields' encoding at byte %zu\n",
		         offset, at );
		failures++;
	}
	libfwevt_template_free( &template, NULL );
}

/* ------------------------------------------------------------------------ */

static void print_message( libwrc_resource_t *messages, uint32_t language, uint32_t identifier )
{
	libcerror_error_t *error = NULL;
	uint8_t text[ 4096 ];
	size_t size = 0;
	int index   = 0;

	if( libwrc_message_table_get_index_by_identifier( messages, language, identifier, &index, &error ) != 1
	 || libwrc_message_table_get_utf8_string_size( messages, language, index, &size, &error ) != 1
	 || size > sizeof( text )
	 || libwrc_message_table_get_utf8_string( messages, language, index, text, size, &error ) != 1 )
	{
		fprintf( stdout, "error message 0x%08" PRIx32 " missing\n", identifier );
		libcerror_error_free( &error );
		failures++;
		return;
	}
	fprintf( stdout, "message 0x%08" PRIx32 " %s\n", identifier, (char *) text );
}

int main( int argc, char **argv )
{
	libcerror_error_t *error          = NULL;
	libwrc_resource_t *wevt_template  = NULL;
	libwrc_resource_t *verbose_wevt   = NULL;
	libwrc_resource_t *messages       = NULL;
	libfwevt_manifest_t *manifest     = NULL;
	libfwevt_provider_t *provider     = NULL;
	libfwevt_event_t *event           = NULL;
	resources_t resources;
	resources_t verbose_resources;
	uint32_t language                 = 0;
	uint32_t message_language         = 0;
	uint32_t identifier               = 0;
	uint32_t template_offset          = 0;
	uint32_t listed[ MAX_RECORDS ];
	int number_listed                 = 0;
	int record                        = 0;
	int seen                          = 0;
	const char *value                 = NULL;
	intptr_t *verbose_manifest        = NULL;
	FILE *prints                      = NULL;

	if( argc != 2 )
	{
		fprintf( stderr, "usage: kxtracecheck FILE.exe\n" );
		return( 2 );
	}
	if( !worked_example_holds() )
	{
		fprintf( stdout, "error the Binary XML encoder does not reproduce the worked example\n" );
		return( 1 );
	}
	if( resources_open( &resources, argv[ 1 ], &error ) != 1
	 || resources_open( &verbose_resources, argv[ 1 ], &error ) != 1 )
	{
		fail( "no resource section", &error );
		return( 1 );
	}
	if( libwrc_stream_get_resource_by_utf8_name( resources.stream, (uint8_t *) "WEVT_TEMPLATE", 13, &wevt_template, &error ) != 1
	 || resource_language( wevt_template, "WEVT_TEMPLATE", &language, &error ) != 1
	 || libwrc_resource_get_value_by_language_identifier( wevt_template, LIBWRC_RESOURCE_TYPE_WEVT_TEMPLATE, language, 0,
	                                                      (intptr_t **) &manifest, &error ) != 1
	 || libfwevt_manifest_get_provider( manifest, 0, &provider, &error ) != 1 )
	{
		fail( "no readable WEVT_TEMPLATE resource", &error );
		return( 1 );
	}
	if( libwrc_stream_get_resource_by_type( resources.stream, LIBWRC_RESOURCE_TYPE_MESSAGE_TABLE, &messages, &error ) != 1
	 || resource_language( messages, "MESSAGE_TABLE", &message_language, &error ) != 1 )
	{
		fail( "no message table resource", &error );
		return( 1 );
	}
	/* Once more with libfwevt's prints on; the bundled library stops at the
	 * first template's XML, after it has printed everything else. */
	prints = prints_begin();
	if( libwrc_stream_get_resource_by_utf8_name( verbose_resources.stream, (uint8_t *) "WEVT_TEMPLATE", 13, &verbose_wevt, NULL ) == 1 )
	{
		libwrc_resource_get_value_by_language_identifier( verbose_wevt, LIBWRC_RESOURCE_TYPE_WEVT_TEMPLATE, language, 0,
		                                                  &verbose_manifest, NULL );
	}
	prints_end( prints );
	read_records( prints );
	fclose( prints );
	print_records();

	for( record = 0; record < number_of_records; record++ )
	{
		value = record_value( &( records[ record ] ), "message identifier" );

		if( value != NULL && strtoul( value, NULL, 16 ) != 0xffffffffUL )
		{
			listed[ number_listed++ ] = (uint32_t) strtoul( value, NULL, 16 );
		}
		if( strcmp( records[ record ].kind, "event" ) != 0 )
		{
			continue;
		}
		/* Found by identifier, as consumers find them. */
		identifier = (uint32_t) strtoul( record_value( &( records[ record ] ), "identifier" ), NULL, 16 );

		if( libfwevt_provider_get_event_by_identifier( provider, identifier, &event, &error ) != 1
		 || libfwevt_event_get_template_offset( event, &template_offset, &error ) != 1 )
		{
			fail( "an event is not found by its identifier", &error );
			continue;
		}
		libfwevt_event_free( &event, NULL );

		for( seen = 0; seen < record; seen++ )
		{
			value = record_value( &( records[ seen ] ), "template offset" );

			if( strcmp( records[ seen ].kind, "event" ) == 0 && value != NULL && strtoul( value, NULL, 16 ) == template_offset )
			{
				break;
			}
		}
		if( seen == record && template_offset != 0 )
		{
			check_template( provider, template_offset );
		}
	}
	for( record = 0; record < number_listed; record++ )
	{
		for( seen = 0; seen < record && listed[ seen ] != listed[ record ]; seen++ )
		{
		}
		if( seen == record )
		{
			print_message( messages, message_language, listed[ record ] );
		}
	}
	return( failures == 0 ? 0 : 1 );
}
